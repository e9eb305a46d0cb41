#pragma once
// What the main window's "EEPROM Editor" button does (its EditorBtnClick): the
// configuration source dialog, then the editor, loaded from the chosen file when the
// operator imports one. The eeprom-editor program runs the same path on its own.
#include <QObject>
#include <string>

class QAbstractButton;
class TeepromSelectDlg;
class TeepromEditorForm;

// 1. Shows the source dialog modally; anything but OK ends here.
// 2. eepromImported := "Import file" selected.
// 3. When importing: eepromImportPath := the dialog's path, and the editor loads that
//    file; a failed load ends here (the editor's own message has been shown).
// 4. Disables editorBtn and shows the editor modelessly; closing the editor enables
//    the button again.
// Returns true when the editor was shown. The editor keeps pointers to eepromImported
// and eepromImportPath (read when saving): they must outlive it.
bool LaunchEepromEditor(TeepromSelectDlg& selectDlg, TeepromEditorForm& editor,
                        QAbstractButton* editorBtn, bool& eepromImported,
                        std::string& eepromImportPath);

// The eeprom-editor program without a production board: the source dialog, then the
// editor. A file the editor cannot load brings the source dialog back, so the operator
// can choose another; Cancel there, or closing the editor, ends the session.
class EepromEditorSession final : public QObject {
  Q_OBJECT
 public:
  // Both windows must outlive the session.
  EepromEditorSession(TeepromSelectDlg& selectDlg, TeepromEditorForm& editor,
                      QObject* parent = nullptr);
  // Runs the source dialog (modally) and shows the editor; false when the operator
  // cancelled, and finished() has then been emitted.
  bool Open();
  bool eepromImported = false;
  std::string eepromImportPath;

 signals:
  void finished();

 private:
  TeepromSelectDlg& selectDlg_;
  TeepromEditorForm& editor_;
};
