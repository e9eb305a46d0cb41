#include "gui/GuardedApplication.h"

#include <QMessageBox>
#include <exception>

#include "gui/QtMessageBoxes.h"

void ShowTopLevelException(const char* what, const QString& fallbackCaption) {
  QString caption = QCoreApplication::applicationName();
  if (caption.isEmpty()) caption = fallbackCaption;
  QMessageBox::critical(nullptr, caption, BoxText(what != nullptr ? what : "unknown fault"));
}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowTopLevelException(e.what(), fallbackCaption_);
  } catch (...) {
    ShowTopLevelException("unknown exception", fallbackCaption_);
  }
  return false;
}
