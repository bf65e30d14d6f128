// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace uvq::store {

// The SQL spoken by a connection. Statements use "$1", "$2"... as placeholders on both engines;
// the differences left (types, a few functions, row locks) are chosen by the statement's author.
enum class Dialect { Sqlite, Postgres };

// A parameter or a column: null, a number, a text, or bytes (kept in `text`).
struct SqlValue {
  enum class Kind { Null, Number, Text, Bytes };
  Kind kind = Kind::Null;
  int64_t number = 0;
  std::string text;

  SqlValue() = default;
  SqlValue(int64_t value) : kind(Kind::Number), number(value) {}  // NOLINT: implicit by design
  SqlValue(int value) : kind(Kind::Number), number(value) {}      // NOLINT
  SqlValue(std::string value) : kind(Kind::Text), text(std::move(value)) {}  // NOLINT
  SqlValue(const char* value) : kind(Kind::Text), text(value) {}             // NOLINT
  static SqlValue Bytes(std::string raw) {
    SqlValue value(std::move(raw));
    value.kind = Kind::Bytes;
    return value;
  }
  bool null() const { return kind == Kind::Null; }
  // A number (0 for null); a text holding digits is read as its number.
  int64_t asNumber() const;
  // A text (empty for null); a number as its decimal digits.
  std::string asText() const;
};
using SqlRow = std::vector<SqlValue>;

struct SqlResult {
  std::vector<SqlRow> rows;
  int64_t changed = 0;  // rows an INSERT, UPDATE or DELETE touched
};

struct SqlStatement {
  std::string sql;
  std::vector<SqlValue> params;
};

// "$n".
std::string Placeholder(size_t number);

}  // namespace uvq::store
