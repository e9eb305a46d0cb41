// The configuration source dialog and the editor button's path, driven offscreen.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "base/fake/TestBoard.h"
#include "eeprom/EepromImage.h"
#include "eeprom/gui/EditorLauncher.h"
#include "eeprom/gui/Eeeditorform.h"
#include "eeprom/gui/EepromSelectDlg.h"
#include "gui/EepromGuiFakes.h"
#include "gui/QtMessageBoxes.h"

class TestEepromSelect : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<RecordingBoxes> boxes;
  std::unique_ptr<FakeFileDialogs> dialogs;
  std::unique_ptr<TeepromSelectDlg> dlg;
  std::unique_ptr<QTemporaryDir> dir;

  // Runs the dialog modally while `act` presses its buttons; returns the result.
  int RunModal(const std::function<void()>& act) {
    QTimer::singleShot(0, this, [this, act] {
      act();
      // Whatever act left open is cancelled, so the test never hangs.
      if (dlg->isVisible()) dlg->CancelBtn->click();
    });
    return dlg->ShowModal();
  }

 private slots:
  void init() {
    boxes = std::make_unique<RecordingBoxes>();
    dialogs = std::make_unique<FakeFileDialogs>();
    dlg = std::make_unique<TeepromSelectDlg>(*boxes, *dialogs);
    dir = std::make_unique<QTemporaryDir>();
  }
  void cleanup() {
    dlg.reset();
    dialogs.reset();
    boxes.reset();
    dir.reset();
  }

  void controlsAndEnabling() {
    QCOMPARE(dlg->windowTitle(), QString("Configuration"));
    QCOMPARE(dlg->Label1->text(), QString("Project Code"));
    QVERIFY(!dlg->ComboBox_projectCode->isEnabled());
    QCOMPARE(dlg->ComboBox_projectCode->currentText(), QString("K19"));
    QCOMPARE(dlg->ComboBox_projectCode->count(), 1);
    QCOMPARE(dlg->ComboBox_projectCode->itemText(0), QString("Standard"));
    QCOMPARE(dlg->RadioGroup1->title(), QString("File"));
    QCOMPARE(dlg->RBtn_default->text(), QString("Default settings"));
    QCOMPARE(dlg->RBtn_import->text(), QString("Import file"));
    QCOMPARE(dlg->Button_impBrs->text(), QString("Browse..."));
    QVERIFY(dlg->OKBtn->isDefault());
    QVERIFY(dlg->RBtn_default->isChecked());
    QVERIFY(!dlg->Edit_pathImp->isEnabled());
    QVERIFY(!dlg->Button_impBrs->isEnabled());
    QColor face = dlg->palette().color(QPalette::Button);
    QCOMPARE(dlg->Edit_pathImp->palette().color(QPalette::Base), face);

    dlg->RBtn_import->click();
    QVERIFY(dlg->Edit_pathImp->isEnabled());
    QVERIFY(dlg->Button_impBrs->isEnabled());
    QCOMPARE(dlg->Edit_pathImp->palette().color(QPalette::Base),
             dlg->palette().color(QPalette::Base));
    dlg->RBtn_default->click();
    QVERIFY(!dlg->Edit_pathImp->isEnabled());
    QVERIFY(dlg->RBtn_default->isChecked() && !dlg->RBtn_import->isChecked());
  }

  void importWithoutAFileStaysOpen() {
    dlg->RBtn_import->setChecked(true);
    bool stayedOpen = false;
    int result = RunModal([&] {
      dlg->OKBtn->click();
      stayedOpen = dlg->isVisible();
    });
    QVERIFY(stayedOpen);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"Fiile  not exits"});
    QCOMPARE(boxes->Boxes()[0].caption, std::string("Error"));
    QCOMPARE(dlg->dialogOutcome, 2);

    // A missing file: its name in the message, the path emptied; then Cancel.
    boxes->Clear();
    QString missing = dir->filePath("missing.vef");
    dlg->Edit_pathImp->setText(missing);
    QString pathAfter = "unset";
    bool pathFocused = false;
    result = RunModal([&] {
      dlg->OKBtn->click();
      stayedOpen = dlg->isVisible();
      pathAfter = dlg->Edit_pathImp->text();
      pathFocused = dlg->focusWidget() == dlg->Edit_pathImp;
      dlg->CancelBtn->click();
    });
    QVERIFY(stayedOpen);
    QCOMPARE(pathAfter, QString(""));
    QVERIFY(pathFocused);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(boxes->Texts(),
             std::vector<std::string>{"Fiile " + missing.toStdString() + " not exits"});

    // After a refused OK the close box still closes the dialog.
    result = RunModal([&] {
      dlg->OKBtn->click();
      dlg->close();
      stayedOpen = dlg->isVisible();
    });
    QVERIFY(!stayedOpen);
    QCOMPARE(result, int(QDialog::Rejected));
  }

  void defaultSettingsAlwaysPass() {
    dlg->Edit_pathImp->setText(dir->filePath("missing.vef"));
    int result = RunModal([&] { dlg->OKBtn->click(); });
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(boxes->Boxes().empty());
    QVERIFY(!dlg->ImportSelected());
  }

  void browseFillsThePathAndItIsKept() {
    QString file = dir->filePath("a.vef");
    WriteAll(file, QByteArray(1024, 0));
    dialogs->nextOpen = file;
    int result = RunModal([&] {
      dlg->RBtn_import->click();
      dlg->Button_impBrs->click();
      dlg->OKBtn->click();
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(dialogs->filters, QStringList({"*.vef (*.vef)"}));
    QVERIFY(dlg->ImportSelected());
    QCOMPARE(QString::fromStdString(dlg->ImportPath()), file);
    // Cancelling the file dialog keeps the path.
    dialogs->nextOpen = QString();
    bool importStill = false;
    QString pathStill;
    result = RunModal([&] {
      importStill = dlg->RBtn_import->isChecked() && dlg->Edit_pathImp->isEnabled();
      dlg->Button_impBrs->click();
      pathStill = dlg->Edit_pathImp->text();
      dlg->CancelBtn->click();
    });
    QVERIFY(importStill);
    QCOMPARE(pathStill, file);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(dlg->dialogOutcome, 2);
  }

  // The editor button's path from the source dialog to the shown editor, and back.
  void editorButtonPath() {
    RecordingBoxes editorBoxes;
    FakeFileDialogs editorDialogs;
    TeepromEditorForm editor(editorBoxes, editorDialogs);
    QPushButton editorBtn("EEPROM Editor");
    bool imported = false;
    std::string importPath;

    // Cancel: nothing happens.
    QTimer::singleShot(0, this, [&] { dlg->CancelBtn->click(); });
    QVERIFY(!LaunchEepromEditor(*dlg, editor, &editorBtn, imported, importPath));
    QVERIFY(!editor.isVisible());
    QVERIFY(editorBtn.isEnabled());

    // An image file: loaded, the button disabled, the editor shown.
    RecordingBoxes b;
    EepromImage img(b);
    EepromFields f;
    f.custom.deviceName = "IMPORTED";
    img.BuildImage(f);
    QString file = dir->filePath("in.vef");
    WriteAll(file, QByteArray(reinterpret_cast<const char*>(img.buffer().data()), 1024));
    QTimer::singleShot(0, this, [&] {
      dlg->RBtn_import->click();
      dlg->Edit_pathImp->setText(file);
      dlg->OKBtn->click();
    });
    QVERIFY(LaunchEepromEditor(*dlg, editor, &editorBtn, imported, importPath));
    QVERIFY(imported);
    QCOMPARE(QString::fromStdString(importPath), file);
    QVERIFY(editor.isVisible());
    QVERIFY(!editorBtn.isEnabled());
    QCOMPARE(editor.findChild<QLineEdit*>("c_deviceName")->text(), QString("IMPORTED"));
    QCOMPARE(editor.windowTitle(), "EEPROM Editor - " + QDir::toNativeSeparators(file) + "[*]");

    // Save asks about the imported file.
    editorBoxes.QueueAnswer(BoxResult::No);
    editor.SaveBtn->click();
    QCOMPARE(editorBoxes.Texts(),
             std::vector<std::string>{"Are you sure to overwrite " + file.toStdString()});
    editor.close();
    QVERIFY(editorBtn.isEnabled());

    // "Default settings" right after: the imported values stay, Save uses the dialog.
    editorBoxes.Clear();
    QTimer::singleShot(0, this, [&] {
      dlg->RBtn_default->click();
      dlg->OKBtn->click();
    });
    QVERIFY(LaunchEepromEditor(*dlg, editor, &editorBtn, imported, importPath));
    QVERIFY(!imported);
    QCOMPARE(editor.findChild<QLineEdit*>("c_deviceName")->text(), QString("IMPORTED"));
    QCOMPARE(editor.windowTitle(), QString("EEPROM Editor[*]"));
    editor.SaveBtn->click();
    QCOMPARE(editorDialogs.titles, QStringList({"Save EEPROM file..."}));
    QVERIFY(editorBoxes.Boxes().empty());
    editor.close();

    // A file the editor cannot read passes the dialog; the editor stays closed.
    QString big = dir->filePath("big.vef");
    WriteAll(big, QByteArray(2000, 'b'));
    QTimer::singleShot(0, this, [&] {
      dlg->RBtn_import->click();
      dlg->Edit_pathImp->setText(big);
      dlg->OKBtn->click();
    });
    QVERIFY(!LaunchEepromEditor(*dlg, editor, &editorBtn, imported, importPath));
    QCOMPARE(editorBoxes.Texts(), std::vector<std::string>{"File can't be recognized."});
    QVERIFY(!editor.isVisible());
    QVERIFY(editorBtn.isEnabled());
    QCOMPARE(editor.findChild<QLineEdit*>("c_deviceName")->text(), QString("IMPORTED"));
  }

  // The eeprom-editor program: Cancel ends it; a file the editor refuses brings the
  // dialog back; then the editor opens, and closing it ends the program.
  void editorProgramOpensBothWindows() {
    RecordingBoxes editorBoxes;
    FakeFileDialogs editorDialogs;
    TeepromEditorForm editor(editorBoxes, editorDialogs);
    EepromEditorSession session(*dlg, editor);
    QSignalSpy finished(&session, &EepromEditorSession::finished);
    QTimer::singleShot(0, this, [&] { dlg->CancelBtn->click(); });
    QVERIFY(!session.Open());
    QCOMPARE(finished.count(), 1);
    QVERIFY(!editor.isVisible());

    QString big = dir->filePath("big.vef");
    WriteAll(big, QByteArray(2000, 'b'));
    int shown = 0;
    bool refusedSelected = false;
    std::function<void()> act = [&] {
      if (!dlg->isVisible()) {
        QTimer::singleShot(10, this, act);
        return;
      }
      if (++shown == 1) {
        dlg->RBtn_import->click();
        dlg->Edit_pathImp->setText(big);
        dlg->OKBtn->click();
        QTimer::singleShot(10, this, act);
      } else {
        // The refused file is in front, selected.
        refusedSelected =
            dlg->focusWidget() == dlg->Edit_pathImp && dlg->Edit_pathImp->selectedText() == big;
        dlg->RBtn_default->click();
        dlg->OKBtn->click();
      }
    };
    QTimer::singleShot(0, this, act);
    QVERIFY(session.Open());
    QCOMPARE(shown, 2);
    QVERIFY(refusedSelected);
    QCOMPARE(editorBoxes.Texts(), std::vector<std::string>{"File can't be recognized."});
    QVERIFY(editor.isVisible() && !session.eepromImported);
    QCOMPARE(finished.count(), 1);
    editor.close();
    QCOMPARE(finished.count(), 2);
  }

  // The dialog opens centred on the screen, not over the window that owns it, and its
  // error boxes open over it (not over the hidden editor their seam belongs to).
  void centredWithBoxesOverIt() {
    QWidget owner;
    owner.setGeometry(0, 0, 200, 150);
    owner.show();
    QWidget hiddenEditor;
    QtMessageBoxes realBoxes(&hiddenEditor);
    TeepromSelectDlg select(realBoxes, *dialogs, &owner);
    select.RBtn_import->setChecked(true);
    select.Edit_pathImp->setText(dir->filePath("missing.vef"));
    QPoint centre, screenCentre;
    QWidget* boxOwner = nullptr;
    QString boxText;
    QTimer::singleShot(0, this, [&] {
      centre = select.frameGeometry().center();
      screenCentre = select.screen()->availableGeometry().center();
      QTimer::singleShot(0, this, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          boxOwner = box->parentWidget();
          boxText = box->text();
          box->button(QMessageBox::Ok)->click();
        }
      });
      select.OKBtn->click();
      select.CancelBtn->click();
    });
    QCOMPARE(select.ShowModal(), int(QDialog::Rejected));
    QVERIFY2((centre - screenCentre).manhattanLength() <= 4, "not centred on the screen");
    QCOMPARE(boxText, "Fiile " + dir->filePath("missing.vef") + " not exits");
    QCOMPARE(boxOwner, &select);
  }

  // A picture of the dialog, when PT_SCREENSHOT_DIR names a directory.
  void screenshot() {
    QString out = qEnvironmentVariable("PT_SCREENSHOT_DIR");
    if (out.isEmpty()) QSKIP("PT_SCREENSHOT_DIR not set");
    bool saved = false;
    RunModal([&] { saved = dlg->grab().save(out + "/select_dialog.png"); });
    QVERIFY(saved);
  }
};

QTEST_MAIN(TestEepromSelect)
#include "test_eeprom_select.moc"
