#pragma once
// Modal message boxes go through this seam, so tests read caption and text without
// a box blocking them.
#include <string>

enum class BoxButtons { Ok, YesNo };
enum class BoxIcon { None, Warning, Stop, Question };
enum class BoxResult { Ok, Yes, No };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual BoxResult Show(const std::string& caption, const std::string& text, BoxButtons buttons,
                         BoxIcon icon) = 0;
};

// Convenience: an "Error" box with one OK button.
inline void ShowError(MessageBoxes& boxes, const std::string& text, BoxIcon icon = BoxIcon::None) {
  boxes.Show("Error", text, BoxButtons::Ok, icon);
}
