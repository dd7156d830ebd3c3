// Program start: the command line, the application, its main window, and the window's message
// loop.
#include <QApplication>
#include <QLabel>
#include <cstdio>
#include <string>
#include <vector>

#include "app/zeb_id_main.h"
#include "window/WindowOptions.h"

int main(int argc, char* argv[]) {
  // Read before Qt starts, so that --help and a mistyped option need no display.
  const TCommandLine line = ParseCommandLine(std::vector<std::string>(argv, argv + argc));
  if (line.help) {
    std::fputs(kCommandLineHelp, stdout);
    return 0;
  }
  if (!line.error.empty()) {
    std::fprintf(stderr, "ful03test: %s (see --help)\n", line.error.c_str());
    return 2;
  }
  // Qt takes its own options (-platform and the like) out of what is left.
  std::vector<std::string> rest = line.rest;
  std::vector<char*> qt_argv;
  for (std::string& arg : rest) qt_argv.push_back(arg.data());
  qt_argv.push_back(nullptr);
  int qt_argc = static_cast<int>(rest.size());
  QApplication app(qt_argc, qt_argv.data());
  // The desktop entry the window belongs to (its menu entry and icon, also under Wayland).
  QGuiApplication::setDesktopFileName("ful03test");
  if (qt_argc > 1) {
    std::fprintf(stderr, "ful03test: unknown option %s (see --help)\n", qt_argv[1]);
    return 2;
  }
  TIDMainFrm IDMainFrm(TIDMainFrm::DefaultSettingsPath(), line.options);
  // FUL03TEST_PRINT_STATUS=1 prints every status line on standard output too, the one shown at
  // start-up first, so that a script can watch the window where no screen shows it (the
  // package check runs the installed window on the offscreen platform).
  if (qEnvironmentVariableIntValue("FUL03TEST_PRINT_STATUS") == 1) {
    const auto print = [](const QString& text) {
      std::printf("%s\n", text.toUtf8().constData());
      std::fflush(stdout);
    };
    if (const auto* status = IDMainFrm.findChild<QLabel*>("LStatus")) print(status->text());
    QObject::connect(&IDMainFrm, &TIDMainFrm::StatusShown,
                     [print](const QString& text, const QColor&) { print(text); });
  }
  IDMainFrm.show();
  return app.exec();
}
