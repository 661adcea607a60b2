// QuenlorHID: the update device on this machine's hidraw nodes, in the Qt window. Reads no
// command line (but --version), environment or configuration file.
#include "ProgramVersion.h"
#include "QuenlorQt.h"
#include "iohid/Linux.h"

int main(int argc, char** argv) {
  if (nuv::printedVersion(argc, argv, "QuenlorHID")) return 0;
  return nuv::mac::runQuenlorQt("QuenlorHID",
                                [] { return nuv::iohid::createLinuxHIDManager(); });
}
