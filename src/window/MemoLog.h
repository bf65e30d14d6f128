// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string_view>

#include "ports/Ports.h"

class QPlainTextEdit;

namespace uvq::window {

// The operator log on the window's read-only memo. The memo keeps about a hundred rows as they
// are displayed: before each new line, if more than 100 rows are shown (a wrapped line counts
// once per row), the top row goes. Of a wrapped line only its first displayed row is removed.
class MemoLog : public uvq::Log {
 public:
  static constexpr int kMaxRowsBeforeAppend = 100;

  explicit MemoLog(QPlainTextEdit& memo);

  void addLogLine(std::string_view line) override;
  void clear();

  // Rows as displayed now (0 for an empty log; an empty line is one row).
  int rowCount() const;
  // Lines held (a line holding line breaks counts once per break, as it is shown).
  int lineCount() const;

 private:
  void removeTopRow();

  QPlainTextEdit& memo_;
  // The document always holds one block, even when empty; this tells an empty log from one
  // holding a single empty line.
  bool empty_ = true;
};

}  // namespace uvq::window
