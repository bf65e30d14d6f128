#pragma once

#include <array>
#include <string>

#include "operations/Ports.h"

namespace uvq {

// Controls as plain state, for front ends without widgets. Starts as the window does: the
// "Capture" caption and the three end-of-run check boxes ticked.
class PlainControls : public Controls {
 public:
  PlainControls() {
    text_[index(ControlId::BLDR_Mode)] = "Capture";
    for (ControlId box : {ControlId::CheckBox1, ControlId::CheckBox2, ControlId::CheckBox3})
      checked_[index(box)] = true;
    enabled_.fill(true);
  }
  void setEnabled(ControlId id, bool enabled) override { enabled_[index(id)] = enabled; }
  bool isEnabled(ControlId id) const override { return enabled_[index(id)]; }
  void setChecked(ControlId id, bool checked) override { checked_[index(id)] = checked; }
  bool isChecked(ControlId id) const override { return checked_[index(id)]; }
  void setText(ControlId id, std::string_view text) override { text_[index(id)].assign(text); }
  std::string text(ControlId id) const override { return text_[index(id)]; }

 private:
  static constexpr size_t index(ControlId id) { return static_cast<size_t>(id); }
  static constexpr size_t kCount = static_cast<size_t>(ControlId::Count);
  std::array<bool, kCount> enabled_{};
  std::array<bool, kCount> checked_{};
  std::array<std::string, kCount> text_{};
};

}  // namespace uvq
