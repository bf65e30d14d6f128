// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace uvq::history {

// The URL fit for display: the password of "user:password@" and of a "password=" parameter
// replaced by "***". Anything else is kept as written.
std::string RedactedUrl(const std::string& url);

// The password a URL carries (user info or "password=" parameter), percent-decoded; empty if none.
std::string UrlPassword(const std::string& url);

// `text` with every occurrence of the URL's password (as written and decoded) replaced by "***":
// for messages that a library builds from what it was given.
std::string WithoutPassword(std::string text, const std::string& url);

}  // namespace uvq::history
