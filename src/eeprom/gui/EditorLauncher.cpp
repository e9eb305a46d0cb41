#include "eeprom/gui/EditorLauncher.h"

#include <QAbstractButton>
#include <QDialog>

#include "eeprom/gui/Eeeditorform.h"
#include "eeprom/gui/EepromSelectDlg.h"

bool LaunchEepromEditor(TeepromSelectDlg& selectDlg, TeepromEditorForm& editor,
                        QAbstractButton* editorBtn, bool& eepromImported,
                        std::string& eepromImportPath) {
  editor.BindImportState(&eepromImported, &eepromImportPath);
  editor.SetEditorButton(editorBtn);
  if (selectDlg.ShowModal() != QDialog::Accepted) return false;
  eepromImported = selectDlg.ImportSelected();
  if (eepromImported) {
    eepromImportPath = selectDlg.ImportPath();
    if (editor.LoadImage(eepromImportPath) != 0) return false;
  }
  if (editorBtn) editorBtn->setEnabled(false);
  editor.show();
  editor.raise();
  editor.activateWindow();
  return true;
}

EepromEditorSession::EepromEditorSession(TeepromSelectDlg& selectDlg, TeepromEditorForm& editor,
                                         QObject* parent)
    : QObject(parent), selectDlg_(selectDlg), editor_(editor) {
  connect(&editor_, &TeepromEditorForm::formClosed, this, &EepromEditorSession::finished);
}

bool EepromEditorSession::Open() {
  for (;;) {
    if (LaunchEepromEditor(selectDlg_, editor_, nullptr, eepromImported, eepromImportPath))
      return true;
    // Cancelled, or an import the editor refused (its message has been shown).
    if (selectDlg_.result() != QDialog::Accepted) break;
  }
  emit finished();
  return false;
}
