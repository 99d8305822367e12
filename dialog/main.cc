// QuorvelFirmwareUpdater: the interactive updater. One dialog watches for the
// unit, shows its firmware strings and updates it on a worker thread.
//
// Option for unattended runs (the demo without a display):
//   --update-and-screenshot FILE  press Update once the unit is connected,
//                                 save the finished window to FILE (PNG) and
//                                 close; exit code 1 when that fails.
#include <QApplication>
#include <QString>
#include <cstdio>

#include "dialog/application.h"
#include "sim/usb_backend.h"

namespace {

// Answers for nobody at the screen: tells on standard error, declines.
class UnattendedPrompter final : public Prompter {
 public:
  void Inform(const QString& caption, const QString& text) override {
    std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
  }
  bool Ask(const QString& caption, const QString& text) override {
    std::fprintf(stderr, "%s: %s -> No\n", qPrintable(caption), qPrintable(text));
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // QUORVEL_SIM_DIR, when set, puts simulated units behind the USB boundary.
  sim::InstallFromEnvironment();

  Automation automation;
  const QStringList arguments = QApplication::arguments();
  const qsizetype option = arguments.indexOf(QStringLiteral("--update-and-screenshot"));
  if (option >= 0) {
    if (option + 1 >= arguments.size()) {
      std::fprintf(stderr, "--update-and-screenshot needs a file name\n");
      return 2;
    }
    automation.screenshot = arguments[option + 1];
  }
  MessageBoxPrompter boxes;
  UnattendedPrompter unattended;
  return RunDialogProgram(automation.screenshot.isEmpty() ? static_cast<Prompter&>(boxes) : unattended, automation);
}
