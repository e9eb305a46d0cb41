// The production tool's window program.
//   production-tool [--dir DIR]
// DIR holds storedCfg.txt, storedMAC.txt and ports/ (default: the executable's directory).
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "app/gui/Mainform.h"
#include "eeprom/gui/EditorLauncher.h"
#include "eeprom/gui/Eeeditorform.h"
#include "eeprom/gui/EepromDialogs.h"
#include "eeprom/gui/EepromSelectDlg.h"
#include "gui/GuardedApplication.h"
#include "gui/QtMessageBoxes.h"
#include "job/gui/TselectFilesDlg.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"

namespace {

// A box or dialog that is open may be waited on by a thread of the run (a routine it
// handed to the UI thread): it is closed first, and the window once none is open.
void CloseWhenNoModal(QWidget* window) {
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->close();
    QTimer::singleShot(20, window, [window] { CloseWhenNoModal(window); });
    return;
  }
  window->close();
}

void Usage() {
  std::fprintf(stderr, "usage: production-tool [--dir DIR]\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Help needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    }
  }
  Q_INIT_RESOURCE(resources);
  GuardedApplication app(
      argc, argv,
      QStringLiteral("Production Tool"));  // takes Qt's own options (-platform, ...) out of argv
  app.setWindowIcon(QIcon(QStringLiteral(":/icons/production-tool.png")));
  QGuiApplication::setDesktopFileName(QStringLiteral("production-tool"));
  std::string dataDir;
  bool haveDir = false;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--dir")) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "production-tool: --dir needs a directory\n");
        Usage();
        return 2;
      }
      dataDir = args[++i].toUtf8().toStdString();
      haveDir = true;
    } else if (a.startsWith(QLatin1String("--dir="))) {
      dataDir = a.mid(6).toUtf8().toStdString();
      haveDir = true;
    } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "production-tool: unknown option: %s\n", a.toLocal8Bit().constData());
      Usage();
      return 2;
    }
  }
  if (!haveDir) dataDir = ExecutableDir();
  if (dataDir.empty() || !DirectoryExists(dataDir)) {
    std::fprintf(stderr, "production-tool: data directory not found: %s\n", dataDir.c_str());
    return 2;
  }

  try {
    // The four windows, in this order: the board, the job dialog, the EEPROM editor and
    // its configuration source dialog.
    TmainFrm mainFrm(dataDir);
    TselectFilesDlg selectFilesDlg(mainFrm.logic().NewJobDialogLogic(), &mainFrm);
    QtMessageBoxes editorBoxes;
    QtEepromFileDialogs fileDialogs;
    TeepromEditorForm eepromEditorForm(editorBoxes, fileDialogs);
    TeepromSelectDlg eepromSelectDlg(editorBoxes, fileDialogs, &mainFrm);
    editorBoxes.SetParent(&eepromEditorForm);
    mainFrm.SetJobDialog(&selectFilesDlg);
    mainFrm.SetEditorHook([&] {
      LaunchEepromEditor(eepromSelectDlg, eepromEditorForm, mainFrm.EditorBtn,
                         mainFrm.logic().eepromImported, mainFrm.logic().eepromImportPath);
    });
    // Closing the main window ends the program, whatever other windows are open.
    QObject::connect(&mainFrm, &TmainFrm::formClosed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // SIGTERM, SIGINT and SIGHUP close the window as the operator would: a run going on
    // is stopped and its workers are waited for before the program ends. A termination
    // signal is a confirmed Stop: the window closes without asking.
    TerminationWatch termination([&mainFrm] {
      QMetaObject::invokeMethod(
          &mainFrm,
          [&mainFrm] {
            mainFrm.SetCloseConfirmed();
            CloseWhenNoModal(&mainFrm);
          },
          Qt::QueuedConnection);
    });
    mainFrm.show();
    return app.exec();
  } catch (const std::exception& e) {
    ShowTopLevelException(e.what(), app.fallbackCaption());
    return 1;
  }
}
