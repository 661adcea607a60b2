// Vornex: the program entry. It reads no command line (but --version), environment or
// configuration file of its own; it finds the update device through hidraw and udev.
#include <cstdio>

#include "ProgramVersion.h"
#include "VornexQt.h"
#include "winapi/Linux.h"

int main(int argc, char** argv) {
  if (nuv::printedVersion(argc, argv, "Vornex")) return 0;
  forms::QtGui app("Vornex");
  std::unique_ptr<winapi::Api> api = winapi::makeLinuxApi(&app);
  if (api == nullptr) {
    app.setTitle(std::string(kApplicationTitle));
    app.messageBox(forms::BoxKind::Exception,
                   "The HID devices cannot be listed: libudev could not be used.");
    return 1;
  }
  return runVornex(app, *api);
}
