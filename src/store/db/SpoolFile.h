// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

namespace uvq::store {

// A local spool file of lines, open and locked (flock) against the other processes for as long
// as this lives. The lock is the file's: once held, the path must still name the file that was
// opened, since a writer that created the file and could not fill it removes it again.
class LockedSpoolFile {
 public:
  // create: make the file when missing (mode 0600); created() then says whether this did.
  // `label` names the spool in messages ("history spool").
  LockedSpoolFile(const std::string& path, int flags, bool create = false,
                  std::string label = "history spool");
  ~LockedSpoolFile();
  LockedSpoolFile(const LockedSpoolFile&) = delete;
  LockedSpoolFile& operator=(const LockedSpoolFile&) = delete;

  bool open() const { return fd_ >= 0; }
  bool created() const { return created_; }
  int fd() const { return fd_; }

  // Throws StoreError (ReadFailed).
  std::string ReadAll() const;
  bool WriteAt(const std::string& text, off_t at) const;
  // Appends whole lines after the last complete one (a line cut short by a crash stays a line
  // of its own); what was written of them is taken back when they do not fit. With `sync`, the
  // lines are on the disk when it returns true.
  bool AppendLines(std::string text, bool sync) const;
  // "<label> <path>: <what>: <errno's text>".
  std::string Reason(const std::string& what) const;

 private:
  void Close();
  std::string path_;
  std::string label_;
  int fd_ = -1;
  bool created_ = false;
};

// A spool line's fields: tab-separated, tabs, newlines, carriage returns and backslashes escaped.
std::string EscapedField(const std::string& text);
// nullopt: not an escaped field.
std::optional<std::string> UnescapedField(const std::string& text);
// A line of fields already escaped, joined by tabs and ended by a newline; and split back.
std::string JoinedLine(const std::vector<std::string>& fields);
std::vector<std::string> SplitLine(const std::string& line);

}  // namespace uvq::store
