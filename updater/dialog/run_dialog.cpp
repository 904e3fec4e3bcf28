#include "run_dialog.h"

#include <QApplication>

#include "cardflash_dlg.h"

namespace cardflash {

namespace {

// The application object: starts the one modal dialog; the program ends when it has closed.
class CCardflashApp {
 public:
  int InitInstance(int& argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Cardflash"));
    CCardflashDlg::Environment environment;
    environment.ram_bsl_file = RamBslOption(argc, argv);
    CCardflashDlg dialog(std::move(environment));
    dialog.exec();  // how the dialog ended makes no difference to the program
    return 0;
  }
};

}  // namespace

int RunDialog(int argc, char** argv) {
  CCardflashApp app;
  return app.InitInstance(argc, argv);
}

}  // namespace cardflash
