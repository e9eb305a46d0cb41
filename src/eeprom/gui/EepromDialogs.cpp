#include "eeprom/gui/EepromDialogs.h"

#include <QFile>
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

std::string ToFileName(const QString& name) {
  return QFile::encodeName(name).toStdString();
}

QString FromFileName(const std::string& name) {
  return QFile::decodeName(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
}
