// QuenlorHID: the update device on this machine's hidraw nodes, in the Qt window. Reads no
// command line (but --version), environment or configuration file.
#include "mac/QuenlorQt.h"
#include "packaging/ProgramVersion.h"
#include "platform/iohid/Linux.h"

int main(int argc, char** argv) {
  if (nuv::printedVersion(argc, argv, "QuenlorHID")) return 0;
  return nuv::mac::runQuenlorQt("QuenlorHID", [] { return nuv::iohid::createLinuxHIDManager(); });
}
