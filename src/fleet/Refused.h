// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <utility>

namespace uvq::fleet {

// An engine's result refused before anything was done: its `refusal` and `problem` set, all
// else as a result starts.
template <typename Result, typename Refusal>
Result RefusedResult(Refusal refusal, std::string problem) {
  Result result;
  result.refusal = refusal;
  result.problem = std::move(problem);
  return result;
}

}  // namespace uvq::fleet
