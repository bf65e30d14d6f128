// SPDX-License-Identifier: Apache-2.0
#include "units/Selector.h"

#include <strings.h>
#include <algorithm>

namespace uvq::units {

int Selector::indexOf(const std::string& item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (strcasecmp(items_[i].c_str(), item.c_str()) == 0) return static_cast<int>(i);
  return -1;
}

void Selector::add(const std::string& item) {
  const auto pos = std::upper_bound(items_.begin(), items_.end(), item,
                                    [](const std::string& a, const std::string& b) {
                                      return strcasecmp(a.c_str(), b.c_str()) < 0;
                                    });
  const int index = static_cast<int>(pos - items_.begin());
  items_.insert(pos, item);
  if (current_ >= index) ++current_;
  changed();
}

void Selector::setCurrentIndex(int index) {
  current_ = (index >= 0 && index < count()) ? index : -1;
  if (current_ >= 0) text_ = items_[static_cast<size_t>(current_)];
  changed();
}

void Selector::setText(const std::string& text) {
  text_ = text;
  changed();
}

void Selector::empty() {
  items_.clear();
  current_ = -1;
  text_.clear();
  changed();
}

}  // namespace uvq::units
