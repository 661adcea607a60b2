// Vornex: the program entry. It reads no command line (but --version), environment or
// configuration file of its own; it finds the update device through hidraw and udev.
#include <cstdio>

#include "packaging/ProgramVersion.h"
#include "platform/winapi/Linux.h"
#include "win/app/VornexQt.h"

int main(int argc, char** argv) {
  if (nuv::printedVersion(argc, argv, "Vornex")) return 0;
  nuv::forms::QtGui app("Vornex");
  std::unique_ptr<nuv::winapi::Api> api = nuv::winapi::makeLinuxApi(&app);
  if (api == nullptr) {
    app.setTitle(std::string(kApplicationTitle));
    app.messageBox(nuv::forms::BoxKind::Exception,
                   "The HID devices cannot be listed: libudev could not be used.");
    return 1;
  }
  return runVornex(app, *api);
}
