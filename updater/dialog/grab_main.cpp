// cardflash_grab: pictures of the Cardflash window for the documentation. Runs the real dialog,
// presses "Device Scan", saves a picture, presses "FW Update" with the given file (in place of
// the file dialog), and saves another once the update has ended.
//   cardflash_grab FIRMWARE.txt RAM_BSL_FOLDER OUT_FOLDER
// Meant for QT_QPA_PLATFORM=offscreen and a virtual or real card on the bus.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <cstdio>

#include "cardflash_dlg.h"

namespace {

void Settle() {
  // Lets the queued scroll to the log's end and the repaint happen before the picture.
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Save(cardflash::CCardflashDlg& dialog, const QString& path) {
  Settle();
  if (dialog.grab().save(path)) return true;
  std::fprintf(stderr, "cardflash_grab: cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: cardflash_grab FIRMWARE.txt RAM_BSL_IMAGE OUT_FOLDER\n");
    return 2;
  }
  const QFileInfo firmware(QString::fromLocal8Bit(argv[1]));
  const QDir out(QString::fromLocal8Bit(argv[3]));

  cardflash::CCardflashDlg::Environment environment;
  environment.ram_bsl_file = argv[2];
  environment.choose_file = [firmware](QWidget*) {
    return std::optional<cardflash::ChosenFile>({firmware.absolutePath(), firmware.fileName()});
  };
  cardflash::CCardflashDlg dialog(std::move(environment));
  dialog.show();

  dialog.findChild<QPushButton*>(QStringLiteral("deviceScan"))->click();
  if (!Save(dialog, out.filePath(QStringLiteral("cardflash-scan.png")))) return 1;
  auto* update = dialog.findChild<QPushButton*>(QStringLiteral("fwUpdate"));
  if (!update->isEnabled()) {
    std::fprintf(stderr, "cardflash_grab: the scan found no card to update\n");
    return 1;
  }
  update->click();  // returns when the update has ended
  if (!Save(dialog, out.filePath(QStringLiteral("cardflash-update.png")))) return 1;
  std::fputs(qPrintable(QString(dialog.LogText()).remove(QLatin1Char('\r'))), stdout);
  return 0;
}
