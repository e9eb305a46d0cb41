#include "eeprom/gui/EditorLauncher.h"

#include <QAbstractButton>

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
