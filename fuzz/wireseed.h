// Seed writer of the product's fuzz targets that read a peer's byte stream:
// the bytes the IPC layer puts on the wire for a run of packets.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "ipc/ipc.h"

namespace tarn::fuzz {

// Every byte IpcSendData writes for `packets`, one packet each. Starts the
// IPC layer when it is not running.
inline std::string WireBytes(std::initializer_list<std::string_view> packets) {
  if (IpcIsInitialized() == 0 && IpcInit() != 0) std::abort();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
  const IpcHandle handle = IpcAttachConnection(pair[0], pair[0]);
  if (handle < 0) std::abort();
  for (const std::string_view packet : packets) {
    if (IpcSendData(handle, packet.data(), static_cast<int>(packet.size())) <= 0) std::abort();
  }
  IpcCloseConnection(handle);
  std::string bytes;
  char chunk[4096];
  for (ssize_t n; (n = read(pair[1], chunk, sizeof chunk)) > 0;) bytes.append(chunk, n);
  close(pair[1]);
  return bytes;
}

}  // namespace tarn::fuzz
