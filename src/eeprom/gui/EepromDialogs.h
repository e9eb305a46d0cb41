#pragma once
// The file dialogs of the EEPROM editor and the configuration source dialog, behind
// a small seam so tests choose the file (or cancel) without a dialog blocking them.
#include <QString>
#include <string>

class QWidget;

class EepromFileDialogs {
 public:
  virtual ~EepromFileDialogs() = default;
  // The chosen file's full name, or an empty text when the operator cancelled.
  // The save dialog does not ask before overwriting an existing file.
  virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                               const QString& defaultSuffix) = 0;
  virtual QString OpenFileName(QWidget* parent, const QString& title, const QString& filter) = 0;
};

// The real dialogs (QFileDialog).
class QtEepromFileDialogs final : public EepromFileDialogs {
 public:
  QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                       const QString& defaultSuffix) override;
  QString OpenFileName(QWidget* parent, const QString& title, const QString& filter) override;
};

// The image filter "*.vef|*.vef" of both dialogs.
inline QString VefFilter() {
  return QStringLiteral("*.vef (*.vef)");
}

// Single-byte texts of the image as shown in the controls (Latin-1), and back.
QString FromImageText(const std::string& bytes);
std::string ToImageText(const QString& text);
// A file name from a dialog or an edit as the file functions take it, and back.
std::string ToFileName(const QString& name);
QString FromFileName(const std::string& name);
