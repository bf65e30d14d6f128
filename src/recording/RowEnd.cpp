// SPDX-License-Identifier: Apache-2.0
#include "recording/RowEnd.h"

#include "recording/StationFacts.h"

namespace uvq::recording {

void EndRow(history::OperationRow& row, jobs::JobOutcome outcome, history::UtcMillis endedAt,
            std::optional<uint16_t> finalStatus) {
  row.endedAt = endedAt;
  row.outcome = std::string(jobs::OutcomeIdentifier(outcome));
  row.finalStatus = finalStatus;
  row.finalFlags = finalStatus ? StatusFlagsText(*finalStatus) : std::string();
}

}  // namespace uvq::recording
