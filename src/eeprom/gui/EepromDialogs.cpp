#include "eeprom/gui/EepromDialogs.h"

#include <QFileDialog>

QString QtEepromFileDialogs::SaveFileName(QWidget* parent, const QString& title,
                                          const QString& filter, const QString& defaultSuffix) {
  QFileDialog dlg(parent, title, QString(), filter);
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  dlg.setDefaultSuffix(defaultSuffix);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
  return dlg.selectedFiles().front();
}

QString QtEepromFileDialogs::OpenFileName(QWidget* parent, const QString& title,
                                          const QString& filter) {
  return QFileDialog::getOpenFileName(parent, title, QString(), filter);
}

QString FromImageText(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToImageText(const QString& text) {
  return text.toLatin1().toStdString();
}

// File names are UTF-8 inside the station on every system (on Windows the platform
// layer hands them to the wide calls).
std::string ToFileName(const QString& name) {
  return name.toUtf8().toStdString();
}

QString FromFileName(const std::string& name) {
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}
