// A link of the DB2 host taken down and brought up again, for fault cases
// that run on the DB2 host's network namespace (e2e/run_faults_netns.sh).
#pragma once

#include <cstdlib>
#include <string>

namespace tarn::test {

// The DB2 host's ends of its veth pairs, as make_hosts in road_lib.sh names them.
inline constexpr char kLinkToMediaAgent[] = "toma";
inline constexpr char kLinkToCellServer[] = "tocs";

// Takes the link `device` of this namespace down at construction and up again
// at up() or at the latest on destruction. A link that runs out of packets
// while down has no route: connects fail at once, and what an established
// connection sends waits in its socket until the link is up again. ok() is
// false when the command failed (not root, no such link).
class LinkCut {
 public:
  explicit LinkCut(std::string device) : device_(std::move(device)) { ok_ = set("down"); }
  ~LinkCut() { up(); }
  LinkCut(const LinkCut&) = delete;
  LinkCut& operator=(const LinkCut&) = delete;

  bool ok() const { return ok_; }
  // Brings the link up again; true when it is up.
  bool up() {
    if (!down_) return true;
    down_ = !set("up");
    return !down_;
  }

 private:
  bool set(const char* state) {
    const std::string command = "ip link set dev " + device_ + " " + state + " >/dev/null 2>&1";
    const bool done = std::system(command.c_str()) == 0;
    if (done) down_ = std::string(state) == "down";
    return done;
  }

  std::string device_;
  bool ok_ = false;
  bool down_ = false;
};

}  // namespace tarn::test
