// Stands in for doctor and udev-rule until their implementation is merged, so that the
// command table, help and completions can carry them already.
#include "Doctor.h"

namespace cli {

int runDoctor(const Options&, Output& out) {
  out.message("doctor: not built yet", true);
  return 1;
}

int runUdevRule(const Options&, Output& out) {
  out.message("udev-rule: not built yet", true);
  return 1;
}

}  // namespace cli
