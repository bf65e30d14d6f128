// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>

#include "jobs/JobResult.h"
#include "store/history/HistoryStore.h"

namespace uvq::recording {

// A row's end as every front end writes it: when, the outcome's identifier (the same words as
// the run log and the rollouts), and the unit's last status word with its flags in words.
void EndRow(history::OperationRow& row, jobs::JobOutcome outcome, history::UtcMillis endedAt,
            std::optional<uint16_t> finalStatus);

}  // namespace uvq::recording
