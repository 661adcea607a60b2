#include "win/app/VornexQt.h"

#include <QFile>

namespace {

QPixmap loadArt(const std::string& name) {
  if (name.empty()) return {};
  QPixmap pixmap(QString(":/vornex/%1.png").arg(QString::fromStdString(name)));
  return pixmap;
}

}  // namespace

void buildVornexWindow(nuv::forms::QtGui& app, TMainForm& form) {
  Q_INIT_RESOURCE(vornex);
  nuv::forms::QtWindow& window = app.window(&loadArt);
  window.addPanel(form.Panel1);
  window.addPicture(form.Image1, &form.Panel1);
  window.addButton(form.Write_car, &form.Panel1);
  window.addButton(form.stop_button, &form.Panel1);
  window.addButton(form.READ_car, &form.Panel1);
  window.addImageControl(form.Gauge1, form.Gauge1.Image(), &form.Panel1);
  window.addStatusBar(form.StatusBar1);
}

int runVornex(nuv::forms::QtGui& app, nuv::winapi::Api& api) {
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
  buildVornexWindow(app, *form);
  app.run();
  form.reset();
  app.shutDown();
  return 0;
}
