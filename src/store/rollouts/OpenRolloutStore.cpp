// SPDX-License-Identifier: Apache-2.0
#include "store/db/Database.h"
#include "store/rollouts/RolloutStore.h"
#include "store/rollouts/SqlRolloutStore.h"

namespace uvq::rollouts {

std::unique_ptr<RolloutStore> OpenRolloutStore(const std::string& db) {
  return std::make_unique<SqlRolloutStore>(store::OpenDatabase(db));
}

}  // namespace uvq::rollouts
