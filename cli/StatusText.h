// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "jobs/StatusText.h"

namespace uvq::cli {
using jobs::HexWord;
using jobs::StatusInWords;
}  // namespace uvq::cli
