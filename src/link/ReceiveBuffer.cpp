// SPDX-License-Identifier: Apache-2.0
#include "link/ReceiveBuffer.h"

#include <sys/socket.h>

namespace uvq::link {

int EnlargeReceiveBuffer(int socket, int bytes) {
  if (setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  int size = 0;
  socklen_t length = sizeof size;
  if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return -1;
  return size;
}

}  // namespace uvq::link
