// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "store/rollouts/RolloutStore.h"

namespace uvq::rollouts {

// An attempt's end that the database did not take when it came, as kept on disk.
struct SpooledEnd {
  std::string id;        // unique in the spool: the holder's token and a number of its own
  std::string location;  // the database it is meant for (RolloutStore::location())
  std::string rollout;
  ClaimHolder holder;  // the claim's: only its holder may end it, once
  AttemptResult result;
  UtcMillis at = 0;
};

// The ends a station kept while its database was away, so that a station killed meanwhile (or a
// machine that lost power) loses none: one line per end, appended and synced to the disk before
// the unit counts as ended here; a file of mode 0600 shared by processes under a lock, beside
// the history's spool. Written to the database later (by the same process once the database is
// back, or by the next station that finds the holder gone) and only then taken out.
class EndSpool {
 public:
  explicit EndSpool(std::string path) : path_(std::move(path)) {}

  // Throws store::StoreError (WriteFailed) when the line cannot be written and synced whole.
  void keep(const SpooledEnd& end) const;
  // The ends kept for that database and rollout, oldest first; lines cut short or of another
  // format are left alone. Throws store::StoreError (ReadFailed).
  std::vector<SpooledEnd> read(const std::string& location, const std::string& rollout) const;
  // Takes the ends of these ids out (one rewrite, synced). Throws store::StoreError.
  void drop(const std::vector<std::string>& ids) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The line of an end (with its '\n'), and the end of a line (without it).
std::string EndSpoolLine(const SpooledEnd& end);
std::optional<SpooledEnd> ParseEndSpoolLine(const std::string& line);

}  // namespace uvq::rollouts
