// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace uvq::units {

// The unit selector as data: sorted items (four-digit IDs), the current item and the text. The
// window mirrors it into its combo box; the text, not the current item, names the selected unit.
class Selector {
 public:
  const std::vector<std::string>& items() const { return items_; }
  int count() const { return static_cast<int>(items_.size()); }
  int currentIndex() const { return current_; }
  const std::string& text() const { return text_; }

  int indexOf(const std::string& item) const;  // -1 when absent; ignores letter case
  // Inserts in sorted place; the current item stays the same item.
  void add(const std::string& item);
  void setCurrentIndex(int index);  // also puts that item's text into the text
  void setText(const std::string& text);
  void empty();  // no items, no current item, empty text

  // Called after every change made through this model (the window refreshes its combo box).
  std::function<void()> onChanged;

 private:
  void changed() {
    if (onChanged) onChanged();
  }
  std::vector<std::string> items_;
  int current_ = -1;
  std::string text_;
};

}  // namespace uvq::units
