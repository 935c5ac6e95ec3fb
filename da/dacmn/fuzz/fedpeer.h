// The peer of the data path's fuzz targets that read a byte stream: it has
// sent its bytes and nothing more, and still takes the answers.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ipc/ipc.h"

namespace tarn::fuzz {

class FedPeer {
 public:
  // The socket takes the whole input at once, so no write waits on a reader.
  FedPeer(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    peer_ = pair[0];
    const int room = 1 << 20;
    setsockopt(peer_, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(peer_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    shutdown(peer_, SHUT_WR);
    handle_ = IpcAttachConnection(pair[1], pair[1]);
    if (handle_ < 0) std::abort();
  }
  FedPeer(const FedPeer&) = delete;
  FedPeer& operator=(const FedPeer&) = delete;
  ~FedPeer() {
    IpcCloseConnection(handle_);
    close(peer_);
  }

  // This side's end, reading what the peer sent.
  IpcHandle handle() const { return handle_; }

 private:
  int peer_ = -1;
  IpcHandle handle_ = kIpcNoHandle;
};

}  // namespace tarn::fuzz
