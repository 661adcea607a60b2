// emulate on systems without /dev/uhid (everything but Linux).
#include "cli/Emulate.h"
#include "cli/ExitCodes.h"

namespace nuv::cli {

int runEmulate(const Options&, Output& out) {
  out.result(kExitNoDevice, "emulate needs Linux's /dev/uhid, which this system does not have");
  return kExitNoDevice;
}

}  // namespace nuv::cli
