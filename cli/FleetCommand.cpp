#include "cli/FleetCommand.h"

#include <fcntl.h>
#include <unistd.h>

#include "cli/ExitCodes.h"
#include "cli/Fleet.h"
#include "cli/FleetView.h"
#include "cli/Interrupt.h"
#include "cli/SelectDevices.h"
#include "cli/Workers.h"

namespace nuv::cli {

int runFleetCommand(const Options& options, const std::vector<DeviceRecord>& devices, Output& out) {
  const auto source = openDeviceSource(options, out);
  if (!source) return kExitNoDevice;
  int interrupts[2];
  if (::pipe2(interrupts, O_CLOEXEC | O_NONBLOCK) != 0) {
    out.result(kExitExchangeFailed, "cannot make a pipe for Ctrl-C");
    return kExitExchangeFailed;
  }
  const auto launcher = makeProcessLauncher();
  FleetView view(out.mode(), out.verbose());
  view.setColour(out.colour());
  int code = kExitSuccess;
  {
    const int writeEnd = interrupts[1];
    InterruptWatch watch(
        [writeEnd] { (void)!::write(writeEnd, "i", 1); },
        [] { (void)!::write(STDERR_FILENO, kInterruptedLine, sizeof kInterruptedLine - 1); });
    FleetSetup setup{*launcher, *source, view, interrupts[0]};
    code = options.station ? runStation(options, setup) : runFleet(options, devices, setup);
  }
  ::close(interrupts[0]);
  ::close(interrupts[1]);
  return code;
}

}  // namespace nuv::cli
