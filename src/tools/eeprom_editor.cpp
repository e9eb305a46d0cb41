// The EEPROM editor on its own: the "Configuration" dialog chooses where the editor
// starts (default settings or an image file), then the editor window opens with the
// same controls and checks as from the production board.
//   eeprom-editor
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <exception>

#include "eeprom/gui/EditorLauncher.h"
#include "eeprom/gui/Eeeditorform.h"
#include "eeprom/gui/EepromDialogs.h"
#include "eeprom/gui/EepromSelectDlg.h"
#include "gui/GuardedApplication.h"
#include "gui/QtMessageBoxes.h"

int main(int argc, char** argv) {
  // Help needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: eeprom-editor\n");
      return 0;
    }
  }
  Q_INIT_RESOURCE(resources);
  GuardedApplication app(
      argc, argv,
      QStringLiteral("EEPROM Editor"));  // takes Qt's own options (-platform, ...) out of argv
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    std::fprintf(stderr, "eeprom-editor: unknown option: %s\nusage: eeprom-editor\n",
                 args[i].toLocal8Bit().constData());
    return 2;
  }
  // The session ends when the editor closes, not when the source dialog hides.
  app.setQuitOnLastWindowClosed(false);
  app.setWindowIcon(QIcon(QStringLiteral(":/icons/eeprom-editor.png")));
  QGuiApplication::setDesktopFileName(QStringLiteral("eeprom-editor"));
  try {
    QtMessageBoxes boxes;
    QtEepromFileDialogs fileDialogs;
    TeepromEditorForm editor(boxes, fileDialogs);
    TeepromSelectDlg selectDlg(boxes, fileDialogs);
    boxes.SetParent(&editor);
    EepromEditorSession session(selectDlg, editor);
    QObject::connect(&session, &EepromEditorSession::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!session.Open()) return 0;
    return app.exec();
  } catch (const std::exception& e) {
    ShowTopLevelException(e.what(), app.fallbackCaption());
    return 1;
  }
}
