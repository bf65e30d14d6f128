// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace uvq::presenter {

// The window's controls that its rules read or change, by their designer names. Setting a
// check mark here never runs a handler: the presenter runs the follow-up itself.
enum class ControlId : uint8_t {
  Locate,
  BLDR_Mode,
  StopCapture,
  CapturewCode,
  BResetUVQ,
  BProgram,
  CBIPaddr,
  EIPAddr,
  BUpdateUVQ,
  BErase,
  BEraseEE,
  BErasePRG,
  CheckBox1,  // "Beep "
  CheckBox2,  // "Auto Reset"
  CheckBox3,  // "Auto Clear"
  ESource,
  Form,  // the window caption
  Count
};

class Controls {
 public:
  virtual ~Controls() = default;
  virtual void setEnabled(ControlId id, bool enabled) = 0;
  virtual bool isEnabled(ControlId id) const = 0;
  virtual void setChecked(ControlId id, bool checked) = 0;
  virtual bool isChecked(ControlId id) const = 0;
  virtual void setText(ControlId id, std::string_view text) = 0;
  virtual std::string text(ControlId id) const = 0;
};

}  // namespace uvq::presenter
