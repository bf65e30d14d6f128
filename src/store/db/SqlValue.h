// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace uvq::history {

// The queries' SQL for both adapters: fixed clauses with placeholders, the values only as
// parameters, never in the text.
enum class Dialect { Sqlite, Postgres };

// A parameter: null, a number or a text.
struct SqlValue {
  enum class Kind { Null, Number, Text };
  Kind kind = Kind::Null;
  int64_t number = 0;
  std::string text;

  SqlValue() = default;
  SqlValue(int64_t value) : kind(Kind::Number), number(value) {}  // NOLINT: implicit by design
  SqlValue(std::string value) : kind(Kind::Text), text(std::move(value)) {}  // NOLINT
};

struct SqlStatement {
  std::string sql;
  std::vector<SqlValue> params;
};

}  // namespace uvq::history
