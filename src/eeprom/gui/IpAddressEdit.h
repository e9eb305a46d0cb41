#pragma once
// An IPv4 address entry: four fields of 0..255 separated by dots. Its value is a
// 32-bit number whose most significant byte is the leftmost field; a blank field
// counts as 0.
#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;

class IpAddressEdit final : public QFrame {
  Q_OBJECT
 public:
  explicit IpAddressEdit(QWidget* parent = nullptr);

  uint32_t value() const;
  void setValue(uint32_t value);
  // The value of one field (0 = leftmost); a blank field is 0.
  int field(int index) const;
  // The text of one field, as typed.
  QLineEdit* fieldEdit(int index) const { return fields_[static_cast<size_t>(index)]; }
  void clear();

 signals:
  void valueChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::array<QLineEdit*, 4> fields_{};
};
