// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace uvq::link {

// Asks the kernel for a receive buffer of `bytes` on `socket`, past the system's ceiling when
// the process may (SO_RCVBUFFORCE), else up to it (SO_RCVBUF). A buffer too small drops the
// unit's replies whenever a burst of other datagrams arrives faster than they are read. Returns
// the size the kernel reports afterwards (which counts its own bookkeeping), or -1 when it
// cannot be read; a refusal leaves the buffer as it was and is no error.
int EnlargeReceiveBuffer(int socket, int bytes);

}  // namespace uvq::link
