// Persistent data of the stand-in cell server in its state directory, so that a
// second process started on the same directory reads back what the first stored.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::cellserver {

// What the client can store. Each lives in a folder of the state directory:
// items/<group>/<name>, custom/<group>/<name>, files/<number>, certs/<name>.
enum class Area { kItem, kCustom, kFile, kCertificate };

struct Key {
  Area area = Area::kItem;
  int group = 0;     // group, or file number; 0 for certificates
  std::string name;  // empty for files
};

enum class Outcome { kOk, kMissing, kExists, kInvalid, kFailed };
const char* OutcomeName(Outcome outcome);

// Store on a state directory. Every write lands whole (written beside, then
// renamed), so a reader in another process never sees half a value. Safe to use
// from several threads.
class Store {
 public:
  // Uses `root`, creating it and its folders when missing. ok() tells.
  explicit Store(std::string root);
  bool ok() const { return ok_; }
  const std::string& root() const { return root_; }

  std::optional<std::string> get(const Key& key, Outcome* outcome = nullptr) const;
  Outcome put(const Key& key, std::string_view bytes);
  Outcome remove(const Key& key);
  // Refuses (kExists) to replace another value.
  Outcome rename(const Key& from, const std::string& newName);
  // The names stored in a group of the area, sorted.
  std::vector<std::string> names(Area area, int group) const;
  // The folder a group's values live in.
  std::string groupPath(Area area, int group) const;

 private:
  std::optional<std::string> path(const Key& key) const;

  std::string root_;
  bool ok_ = false;
  mutable std::mutex mutex_;
};

// A client's name as one safe file name: bytes other than letters, digits, '-'
// and '_' (and a leading '.') become %XX; the empty name becomes "="; nothing
// when the result would exceed 255 bytes.
std::optional<std::string> EscapeName(std::string_view name);
// The name back from a file name; nothing for a name EscapeName never makes.
std::optional<std::string> UnescapeName(std::string_view file);

}  // namespace tarn::cellserver
