// SPDX-License-Identifier: Apache-2.0
#include "window/ErrorText.h"

namespace uvq::window {

std::string WithFullStop(std::string_view message) {
  std::string text(message);
  if (text.empty() || static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}

}  // namespace uvq::window
