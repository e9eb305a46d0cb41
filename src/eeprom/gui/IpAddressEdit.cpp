#include "eeprom/gui/IpAddressEdit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(2, 0, 2, 0);
  row->setSpacing(0);
  auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
  for (size_t i = 0; i < fields_.size(); i++) {
    if (i > 0) {
      auto* dot = new QLabel(".", this);
      dot->setAlignment(Qt::AlignCenter);
      row->addWidget(dot);
    }
    auto* f = new QLineEdit(this);
    f->setObjectName(QString("field%1").arg(i));
    f->setFrame(false);
    f->setMaxLength(3);
    f->setValidator(digits);
    f->setAlignment(Qt::AlignCenter);
    f->setMinimumWidth(10);
    f->installEventFilter(this);
    connect(f, &QLineEdit::textEdited, this, [this, i](const QString& text) {
      // Values above 255 are taken back to 255; three digits move on to the next field.
      if (text.toInt() > 255) fields_[i]->setText("255");
      if (text.size() == 3 && i + 1 < fields_.size()) {
        fields_[i + 1]->setFocus();
        fields_[i + 1]->selectAll();
      }
    });
    connect(f, &QLineEdit::textChanged, this, &IpAddressEdit::valueChanged);
    row->addWidget(f, 1);
    fields_[i] = f;
  }
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    for (size_t i = 0; i + 1 < fields_.size(); i++) {
      if (watched == fields_[i] && key->text() == ".") {
        if (!fields_[i]->text().isEmpty()) {
          fields_[i + 1]->setFocus();
          fields_[i + 1]->selectAll();
        }
        return true;
      }
    }
    for (size_t i = 1; i < fields_.size(); i++) {
      if (watched == fields_[i] && key->key() == Qt::Key_Backspace &&
          fields_[i]->cursorPosition() == 0 && !fields_[i]->hasSelectedText()) {
        fields_[i - 1]->setFocus();
        fields_[i - 1]->setCursorPosition(fields_[i - 1]->text().size());
        return true;
      }
    }
  }
  return QFrame::eventFilter(watched, event);
}

int IpAddressEdit::field(int index) const {
  if (index < 0 || index >= static_cast<int>(fields_.size())) return 0;
  bool ok = false;
  int v = fields_[static_cast<size_t>(index)]->text().toInt(&ok);
  if (!ok || v < 0) return 0;
  return v > 255 ? 255 : v;
}

uint32_t IpAddressEdit::value() const {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = v << 8 | static_cast<uint32_t>(field(i));
  return v;
}

void IpAddressEdit::setValue(uint32_t v) {
  for (size_t i = 0; i < fields_.size(); i++)
    fields_[i]->setText(QString::number((v >> (24 - 8 * i)) & 0xFF));
}

void IpAddressEdit::clear() {
  for (QLineEdit* f : fields_) f->clear();
}
