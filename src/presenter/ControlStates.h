// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>

#include "operations/EraseKinds.h"
#include "presenter/Controls.h"

namespace uvq::presenter {

// What a control state does to one control.
enum class Change : uint8_t { Keep, Enable, Disable, EnableIfSourceSelected };

struct ControlStateRow {
  ControlId control;
  Change readyPlain;   // ready state, status word without the loader-mode bit
  Change readyLoader;  // ready state with the loader-mode bit
  Change busy;
};

// The two sets of control enablings, in the order they are applied. Both states clear the
// "Modify IP Address" mark.
inline constexpr std::array<ControlStateRow, 11> kControlStates{{
    {ControlId::Locate, Change::Enable, Change::Enable, Change::Disable},
    {ControlId::BLDR_Mode, Change::Enable, Change::Enable, Change::Keep},
    {ControlId::BResetUVQ, Change::Enable, Change::Enable, Change::Disable},
    {ControlId::BProgram, Change::Disable, Change::EnableIfSourceSelected, Change::Disable},
    {ControlId::CBIPaddr, Change::Enable, Change::Enable, Change::Disable},
    {ControlId::EIPAddr, Change::Disable, Change::Disable, Change::Disable},
    {ControlId::BUpdateUVQ, Change::Disable, Change::Disable, Change::Disable},
    {ControlId::BErase, Change::Enable, Change::Enable, Change::Disable},
    {ControlId::BEraseEE, Change::Enable, Change::Enable, Change::Disable},
    {ControlId::BErasePRG, Change::Enable, Change::Enable, Change::Disable},
    {ControlId::StopCapture, Change::Keep, Change::Disable, Change::Keep},
}};

// The button that starts each kind of erase.
struct EraseButton {
  ControlId control;
  EraseKind kind;
};
inline constexpr std::array<EraseButton, kEraseKinds.size()> kEraseButtons{{
    {ControlId::BErase, EraseKind::Device},
    {ControlId::BErasePRG, EraseKind::Program},
    {ControlId::BEraseEE, EraseKind::Data},
}};

}  // namespace uvq::presenter
