// System V keys come from ftok(): the low byte of a file's device and the low
// 16 bits of its inode. Install roots that tests make side by side can hand
// two tests the same key, and a set one test creates is then opened, used or
// removed by the other. A KeyClaims gives each path it claims an inode whose
// key bits no other live claim on this machine and no existing semaphore set
// or shared segment holds, moving the file or folder to a fresh inode where
// needed, and keeps the claims until it dies.
//
// The claims are byte locks (open-file-description locks, so forked children
// share them and a crash drops them) on one file every test process shares.
// Links neither the product nor the test framework: the road programs use it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace tarn::test {

class KeyClaims {
 public:
  // `spare`: a folder on the same file system as the claimed paths, which
  // keeps the inodes given up so that none is handed out again meanwhile.
  explicit KeyClaims(std::string spare);
  ~KeyClaims();
  KeyClaims(const KeyClaims&) = delete;
  KeyClaims& operator=(const KeyClaims&) = delete;

  // Claims `path` (a file or folder that exists); false with error() set
  // when it could not.
  bool claim(const std::string& path);
  // Claims the install layout's folders of `root` (with those above them)
  // and the key files among its lbin programs, those that exist.
  bool claimRoot(const std::string& root);
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& what);
  bool renew(const std::string& path);

  int fd_ = -1;
  std::string spare_;
  int spares_ = 0;
  std::map<unsigned, ino_t> held_;  // key bits, and the inode that holds them
  std::string error_;
};

// The lbin programs whose files key the DB2 semaphore sets.
inline constexpr const char* kKeyPrograms[] = {"kestrel", "plover", "heron", "linnet"};

}  // namespace tarn::test
