// Program start: the application, its main window, and the window's message loop.
#include <QApplication>

#include "app/zeb_id_main.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  TIDMainFrm IDMainFrm;
  IDMainFrm.show();
  return app.exec();
}
