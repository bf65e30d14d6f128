// SPDX-License-Identifier: Apache-2.0
#include "window/MemoLog.h"

#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

namespace uvq::window {
namespace {

// Rows the block takes on screen. The plain-text layout lays blocks out lazily, so make sure
// this one has been laid out at the memo's current width before asking.
int RowsOf(const QTextBlock& block, const QPlainTextDocumentLayout* layout) {
  if (layout) layout->ensureBlockLayout(block);
  const QTextLayout* text = block.layout();
  const int rows = text ? text->lineCount() : 0;
  return rows > 0 ? rows : 1;
}

}  // namespace

MemoLog::MemoLog(QPlainTextEdit& memo) : memo_(memo) {}

int MemoLog::lineCount() const {
  return empty_ ? 0 : memo_.document()->blockCount();
}

int MemoLog::rowCount() const {
  if (empty_) return 0;
  const QTextDocument* doc = memo_.document();
  const auto* layout = qobject_cast<const QPlainTextDocumentLayout*>(doc->documentLayout());
  // At most about a hundred blocks: counting them all on each line is cheap.
  int rows = 0;
  for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
    rows += RowsOf(block, layout);
  return rows;
}

void MemoLog::removeTopRow() {
  QTextDocument* doc = memo_.document();
  const auto* layout = qobject_cast<const QPlainTextDocumentLayout*>(doc->documentLayout());
  const QTextBlock first = doc->begin();
  QTextCursor cursor(first);
  if (RowsOf(first, layout) > 1) {
    // A wrapped line loses the text of its first displayed row only.
    cursor.setPosition(first.position() + first.layout()->lineAt(0).textLength(),
                       QTextCursor::KeepAnchor);
  } else if (first.next().isValid()) {
    cursor.setPosition(first.next().position(), QTextCursor::KeepAnchor);
  } else {
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    empty_ = true;
  }
  cursor.removeSelectedText();
}

void MemoLog::addLogLine(std::string_view line) {
  if (rowCount() > kMaxRowsBeforeAppend) removeTopRow();

  QTextCursor cursor(memo_.document());
  cursor.movePosition(QTextCursor::End);
  if (!empty_) cursor.insertBlock();
  cursor.insertText(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
  empty_ = false;

  // Keep the newest line in view, as a growing log is read from the bottom.
  memo_.verticalScrollBar()->setValue(memo_.verticalScrollBar()->maximum());
}

void MemoLog::clear() {
  memo_.clear();
  empty_ = true;
}

}  // namespace uvq::window
