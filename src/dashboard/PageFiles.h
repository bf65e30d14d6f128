// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string_view>

namespace uvq::dashboard {

// A file of the page (src/dashboard/page), built into the program: "index.html", "style.css",
// "app.js". nullopt for any other name.
std::optional<std::string_view> PageFile(std::string_view name);

}  // namespace uvq::dashboard
