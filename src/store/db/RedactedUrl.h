// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace uvq::store {

// The URL fit for display: the password of "user:password@" and of a "password=" parameter
// replaced by "***"; in libpq's "key=value ..." form the password's value (quoted or not).
// Anything else is kept as written.
std::string RedactedUrl(const std::string& url);
// The same for any "db" setting (a file path is shown as it is).
std::string RedactedSetting(const std::string& setting);
// libpq's "key=value ..." form with its password values replaced by "***".
std::string RedactedConnInfo(const std::string& setting);

// The password a URL or "key=value" setting carries (user info, "password=" parameter or key),
// percent-decoded or unquoted; empty if none.
std::string UrlPassword(const std::string& url);

// Whether the setting itself holds a password: one that shows on command lines and in process
// lists. UVQ_DB, a private configuration file or libpq's password file keep it out of sight.
bool SettingCarriesPassword(const std::string& setting);

// `text` with every occurrence of the setting's password (as written and decoded) replaced by
// "***": for messages that a library builds from what it was given.
std::string WithoutPassword(std::string text, const std::string& url);

// Whether a setting is a libpq "key=value ..." string (its first word a libpq keyword followed
// by '='), rather than a file path.
bool IsConnInfo(const std::string& setting);

}  // namespace uvq::store

namespace uvq::history {
// The names the history's callers know.
using store::RedactedUrl;
using store::UrlPassword;
using store::WithoutPassword;
}  // namespace uvq::history
