#pragma once
// Shared by the EEPROM window tests: file dialogs that answer as told, and helpers for
// temporary image files.
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <string>

#include "eeprom/gui/EepromDialogs.h"

class FakeFileDialogs final : public EepromFileDialogs {
 public:
  QString SaveFileName(QWidget*, const QString& title, const QString& filter,
                       const QString& defaultSuffix) override {
    titles << title;
    filters << filter;
    suffixes << defaultSuffix;
    return nextSave;
  }
  QString OpenFileName(QWidget*, const QString& title, const QString& filter) override {
    titles << title;
    filters << filter;
    return nextOpen;
  }
  QStringList titles, filters, suffixes;
  QString nextSave, nextOpen;
};

inline QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QByteArray();
  return f.readAll();
}

inline void WriteAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
}
