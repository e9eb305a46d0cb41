#include "app/gui/QtMessageBoxes.h"

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
  QMessageBox box(qicon, BoxText(caption), BoxText(text), qbuttons, parent_);
  if (buttons == BoxButtons::YesNo) {
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  }
  const int answer = box.exec();
  if (buttons == BoxButtons::Ok) return BoxResult::Ok;
  return answer == QMessageBox::Yes ? BoxResult::Yes : BoxResult::No;
}
