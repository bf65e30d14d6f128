// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "presenter/Controls.h"

class QWidget;

namespace uvq::window {

// The engine's view of the window's controls. ControlId::Form stands for the window caption.
// Setting a check mark never runs the window's own handler: the window reacts to `clicked`,
// which a programmatic change does not emit.
class WidgetControls : public uvq::presenter::Controls {
 public:
  // Every ControlId except Count must be bound before the engine uses the controls.
  void bind(uvq::presenter::ControlId id, QWidget* widget);
  QWidget* widget(uvq::presenter::ControlId id) const;

  void setEnabled(uvq::presenter::ControlId id, bool enabled) override;
  // The control's own setting, regardless of whether its window is enabled or shown.
  bool isEnabled(uvq::presenter::ControlId id) const override;
  void setChecked(uvq::presenter::ControlId id, bool checked) override;
  bool isChecked(uvq::presenter::ControlId id) const override;
  void setText(uvq::presenter::ControlId id, std::string_view text) override;
  std::string text(uvq::presenter::ControlId id) const override;

 private:
  QWidget& at(uvq::presenter::ControlId id) const;

  std::array<QWidget*, static_cast<size_t>(uvq::presenter::ControlId::Count)> widgets_{};
};

}  // namespace uvq::window
