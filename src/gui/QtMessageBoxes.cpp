#include "gui/QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

QString BoxText(const std::string& text) {
  QString out = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return out;
}

BoxResult QtMessageBoxes::Show(const std::string& caption, const std::string& text,
                               BoxButtons buttons, BoxIcon icon) {
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case BoxIcon::None:
      qicon = QMessageBox::NoIcon;
      break;
    case BoxIcon::Warning:
      qicon = QMessageBox::Warning;
      break;
    case BoxIcon::Stop:
      qicon = QMessageBox::Critical;
      break;
    case BoxIcon::Question:
      qicon = QMessageBox::Question;
      break;
  }
  const QMessageBox::StandardButtons qbuttons = buttons == BoxButtons::YesNo
                                                    ? (QMessageBox::Yes | QMessageBox::No)
                                                    : QMessageBox::StandardButtons(QMessageBox::Ok);
  // Modal to the window; the answer is read before the box goes away.
  QMessageBox box(qicon, BoxText(caption), BoxText(text), qbuttons, Owner());
  if (buttons == BoxButtons::YesNo) {
    // A stray Enter never answers Yes: every question here stops or overwrites something.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
  }
  const int answer = box.exec();
  if (buttons == BoxButtons::Ok) return BoxResult::Ok;
  return answer == QMessageBox::Yes ? BoxResult::Yes : BoxResult::No;
}

QWidget* QtMessageBoxes::Owner() const {
  // Over the dialog the operator is working in, else over the window the boxes belong
  // to while it is shown, else over whichever window is active (or the screen).
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal->isVisible())
    return modal;
  if (parent_ != nullptr && parent_->isVisible()) return parent_;
  return QApplication::activeWindow();
}
