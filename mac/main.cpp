// QuenlorHID: the update device on this machine's hidraw nodes, in the Qt window. Reads no
// command line, environment or configuration file.
#include "ApplicationMain.h"
#include "Linux.h"

int main() {
  return nuv::mac::applicationMain("QuenlorHID",
                                   [] { return nuv::iohid::createLinuxHIDManager(); });
}
