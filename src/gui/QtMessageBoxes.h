#pragma once
// The message-box seam over QMessageBox: a modal box with the given caption, text,
// buttons and icon. Texts are single-byte; CR LF pairs become line breaks.
#include <QString>

#include "base/MessageBoxes.h"

class QWidget;

class QtMessageBoxes final : public MessageBoxes {
 public:
  // parent: the window the boxes belong to (may be null). A box opens over the modal
  // dialog that is open, if any, else over parent while it is shown.
  explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  BoxResult Show(const std::string& caption, const std::string& text, BoxButtons buttons,
                 BoxIcon icon) override;

 private:
  QWidget* Owner() const;
  QWidget* parent_;
};

// A single-byte text as shown in a box or a log line: bytes as Latin-1, each CR LF
// (and a lone CR) as one line break.
QString BoxText(const std::string& text);
