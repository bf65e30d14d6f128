// SPDX-License-Identifier: Apache-2.0
#pragma once

// A rollout in words: the status and list tables `uvq rollout status` and `uvq rollout list`
// print, and the sentences a station's run says as it works (a unit started or ended, a group
// passed, the rollout paused or stopped, the end) and the lines of its live board. The text is
// as stored: a caller writing it to a terminal escapes it (Escaped).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/rollouts/RolloutStore.h"

namespace uvq::reports {

// The rollout's state, image, thresholds, a table of its groups with a total line, then its
// failed units, the units in flight and its stations.
std::string RolloutStatusText(const rollouts::RolloutStatus& status);
// A heading and a line a rollout; "" for none.
std::string RolloutListText(const std::vector<rollouts::RolloutSummary>& rollouts);

// "ok", "failed", "retry", "missing", "interrupted".
std::string_view AttemptEndWord(rollouts::AttemptEnd end);

// A job's detail without its advice to run a plain command again: a rollout retries by itself,
// and says how to put a failed unit back.
std::string WithoutRunAgainAdvice(std::string detail);

// "[127.0.5.3] started (group 1, attempt 2)".
std::string UnitStartedLine(const rollouts::Claim& claim);
// A unit in flight when its station stopped, taken up again here.
std::string UnitRedoneLine(const rollouts::Claim& claim);
// No unit answers at the target yet (station mode).
std::string UnitMissingLine(const rollouts::Claim& claim, int askEveryMs);

// How an attempt ended, for the rollout's lines.
struct AttemptLineFacts {
  std::string unit;    // the unit that answered; "" when none did
  std::string detail;  // the job's detail
  std::optional<uint16_t> finalStatus;
};
// "[127.0.5.3] failed (unit 0100): ...; status ...; now failed (uvq rollout retry NAME --failed
// puts it back)": an attempt that may be retried but has none left is said as a failure, the
// status once (a unit's error names it already), and a claim that had run out is said.
std::string UnitEndedLine(const std::string& rollout, const rollouts::Claim& claim,
                          rollouts::AttemptEnd end, const rollouts::AttemptVerdict& verdict,
                          const AttemptLineFacts& facts);

// "group 2 passed: 9 of 10 ok, 1 failed".
std::string GroupPassedLine(const rollouts::GroupCounts& group);

// What a paused, stopped or cancelled rollout means for this station (no new unit starts, those
// in flight finish, and whether it waits), or that it runs again; nullopt when the end's line
// says it all (nothing in flight and no wait).
std::optional<std::string> RolloutStateLine(const std::string& rollout,
                                            rollouts::RolloutState state, size_t inFlight,
                                            bool waits);

// "rollout NAME: done; this station: 9 ok, 1 failed, 2 redone".
std::string RolloutEndLine(const std::string& rollout, const std::string& state, int ok, int failed,
                           int redone);

// The live board's lines: the rollout's totals, then the groups around the one being worked on
// (each with a bar of `barWidth` characters), at most `groupsShown`.
std::vector<std::string> RolloutBoardLines(const std::string& rollout,
                                           const rollouts::RolloutSummary& summary,
                                           int barWidth = 20, int groupsShown = 6);

}  // namespace uvq::reports
