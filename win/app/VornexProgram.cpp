#include "win/app/VornexProgram.h"

#include <memory>
#include <string>

int runVornexProgram(nuv::forms::QueuedApplication& app, nuv::winapi::Api& api,
                     const std::function<void(TMainForm&)>& showForm) {
  app.setTitle(std::string(kApplicationTitle));
  nuv::hid::HidProcess process(api, app);
  std::unique_ptr<TMainForm> form;
  try {
    form = std::make_unique<TMainForm>(app, process);
  } catch (const nuv::hid::EControllerError& e) {
    app.messageBox(nuv::forms::BoxKind::Exception, e.what());
    return 1;
  }
  app.setMainForm(*form);
  showForm(*form);
  app.run();
  form.reset();
  app.shutDown();
  return 0;
}
