#include "win/app/VornexQt.h"

#include <QFile>

#include "win/app/VornexProgram.h"

namespace {

QPixmap loadArt(const std::string& name) {
  if (name.empty()) return {};
  QPixmap pixmap(QString(":/vornex/%1.png").arg(QString::fromStdString(name)));
  return pixmap;
}

}  // namespace

void buildVornexWindow(nuv::forms::QtGui& app, TMainForm& form) {
  Q_INIT_RESOURCE(vornex);
  addVornexControls(app.window(&loadArt), form);
}

int runVornex(nuv::forms::QtGui& app, nuv::winapi::Api& api) {
  return runVornexProgram(app, api, [&app](TMainForm& form) { buildVornexWindow(app, form); });
}
