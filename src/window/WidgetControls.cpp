// SPDX-License-Identifier: Apache-2.0
#include "window/WidgetControls.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QWidget>
#include <stdexcept>

namespace uvq::window {

void WidgetControls::bind(uvq::presenter::ControlId id, QWidget* widget) {
  widgets_.at(static_cast<size_t>(id)) = widget;
}

QWidget* WidgetControls::widget(uvq::presenter::ControlId id) const {
  return widgets_.at(static_cast<size_t>(id));
}

QWidget& WidgetControls::at(uvq::presenter::ControlId id) const {
  QWidget* w = widget(id);
  // A missing binding is a wiring fault of the window, not an operator error.
  if (!w) throw std::logic_error("control not bound to a widget");
  return *w;
}

void WidgetControls::setEnabled(uvq::presenter::ControlId id, bool enabled) {
  at(id).setEnabled(enabled);
}

bool WidgetControls::isEnabled(uvq::presenter::ControlId id) const {
  QWidget& w = at(id);
  return w.isWindow() ? w.isEnabled() : w.isEnabledTo(w.window());
}

void WidgetControls::setChecked(uvq::presenter::ControlId id, bool checked) {
  if (auto* button = qobject_cast<QAbstractButton*>(&at(id))) button->setChecked(checked);
}

bool WidgetControls::isChecked(uvq::presenter::ControlId id) const {
  const auto* button = qobject_cast<const QAbstractButton*>(&at(id));
  return button && button->isChecked();
}

void WidgetControls::setText(uvq::presenter::ControlId id, std::string_view text) {
  const QUtf8StringView view(text.data(), static_cast<qsizetype>(text.size()));
  QWidget& w = at(id);
  if (auto* edit = qobject_cast<QLineEdit*>(&w); edit && !w.isWindow()) {
    // The IP display is refreshed after every reply, mostly with the text it already shows:
    // compared in place, so an unchanged text costs no conversion.
    if (!QAnyStringView::equal(edit->text(), view)) edit->setText(view.toString());
    return;
  }
  const QString value = view.toString();
  if (id == uvq::presenter::ControlId::Form || w.isWindow()) {
    w.setWindowTitle(value);
  } else if (auto* button = qobject_cast<QAbstractButton*>(&w)) {
    button->setText(value);
  }
}

std::string WidgetControls::text(uvq::presenter::ControlId id) const {
  const QWidget& w = at(id);
  QString value;
  if (id == uvq::presenter::ControlId::Form || w.isWindow()) {
    value = w.windowTitle();
  } else if (const auto* edit = qobject_cast<const QLineEdit*>(&w)) {
    value = edit->text();
  } else if (const auto* button = qobject_cast<const QAbstractButton*>(&w)) {
    value = button->text();
  }
  return value.toStdString();
}

}  // namespace uvq::window
