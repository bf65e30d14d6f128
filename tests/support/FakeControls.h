// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <string>

#include "presenter/Controls.h"

namespace uvq::test {

// The window's controls as plain state. Starts as the window does: the "Capture" caption and
// the three end-of-run check boxes ticked.
class FakeControls : public presenter::Controls {
 public:
  using Id = presenter::ControlId;
  FakeControls() {
    text_[index(Id::BLDR_Mode)] = "Capture";
    for (Id box : {Id::CheckBox1, Id::CheckBox2, Id::CheckBox3}) checked_[index(box)] = true;
    enabled_.fill(true);
  }
  void setEnabled(Id id, bool enabled) override { enabled_[index(id)] = enabled; }
  bool isEnabled(Id id) const override { return enabled_[index(id)]; }
  void setChecked(Id id, bool checked) override { checked_[index(id)] = checked; }
  bool isChecked(Id id) const override { return checked_[index(id)]; }
  void setText(Id id, std::string_view text) override { text_[index(id)].assign(text); }
  std::string text(Id id) const override { return text_[index(id)]; }

 private:
  static constexpr size_t index(Id id) { return static_cast<size_t>(id); }
  static constexpr size_t kCount = static_cast<size_t>(Id::Count);
  std::array<bool, kCount> enabled_{};
  std::array<bool, kCount> checked_{};
  std::array<std::string, kCount> text_{};
};

}  // namespace uvq::test
