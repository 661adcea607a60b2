// emulate on systems without /dev/uhid (everything but Linux).
#include "Emulate.h"
#include "ExitCodes.h"

namespace cli {

int runEmulate(const Options&, Output& out) {
  out.result(kExitNoDevice, "emulate needs Linux's /dev/uhid, which this system does not have");
  return kExitNoDevice;
}

}  // namespace cli
