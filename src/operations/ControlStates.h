#pragma once

#include <array>

#include "operations/Ports.h"

namespace uvq {

// What a control state does to one control.
enum class Change : uint8_t { Keep, Enable, Disable, EnableIfSourceSelected };

struct ControlStateRow {
  ControlId control;
  Change readyPlain;   // ready state, status word without the loader-mode bit
  Change readyLoader;  // ready state with the loader-mode bit
  Change busy;
};

// The two sets of control enablings, in the order they are applied. The ready state with the
// loader-mode bit also stops the shared timer; both states clear the "Modify IP Address" mark.
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

}  // namespace uvq
