// Admin tool of the stand-in DB2: creates instances and databases, writes
// data, prints checksums and dumps the calls log.
//
//   db2standin-admin create-instance <instance> <home> [<owner> [<user> <password>]]
//   db2standin-admin create-database <instance> <db> <partitions> <catalog> <ts,ts,...> [archive]
//   db2standin-admin write <instance> <db> <node> <table space> <text>
//   db2standin-admin checksum <instance> <db> <node>
//   db2standin-admin calls
//   db2standin-admin fault <call> <sqlcode>|clear
//   db2standin-admin log <instance> <db> <node> <table space> <text> [<UTC time>]
//   db2standin-admin archive <instance> <db> <node>
//   db2standin-admin start|stop <instance>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db2/accounts.h"
#include "db2/logs.h"
#include "db2/store.h"
#include "db2/util.h"

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t s = text.find(sep, at);
    std::string piece = text.substr(at, s == std::string::npos ? std::string::npos : s - at);
    if (!piece.empty()) out.push_back(piece);
    if (s == std::string::npos) break;
    at = s + 1;
  }
  return out;
}

int Node(const std::string& text) {
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < 0 || n > 999)
    throw db2sim::Error("bad partition " + text);
  return static_cast<int>(n);
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: db2standin-admin create-instance <instance> <home> [<owner> [<user> <password>]]\n"
      "       db2standin-admin create-database <instance> <db> <partitions> <catalog> <ts,...> "
      "[archive]\n"
      "       db2standin-admin write <instance> <db> <node> <table space> <text>\n"
      "       db2standin-admin checksum <instance> <db> <node>\n"
      "       db2standin-admin calls\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.empty()) return Usage();
  try {
    db2sim::Store store(db2sim::StateRoot());
    const std::string& cmd = a[0];
    if (cmd == "create-instance" && (a.size() == 3 || a.size() == 4 || a.size() == 6)) {
      db2sim::Instance inst;
      inst.name = a[1];
      inst.home = a[2];
      if (a.size() >= 4) inst.owner = a[3];
      if (a.size() == 6) {
        inst.user = a[4];
        inst.password = a[5];
      }
      store.CreateInstance(inst);
      db2sim::WriteAccounts(store);
    } else if (cmd == "create-database" && (a.size() == 6 || a.size() == 7)) {
      db2sim::Database db;
      db.name = a[2];
      for (const auto& n : Split(a[3], ',')) db.partitions.push_back(Node(n));
      db.catalog = Node(a[4]);
      db.logArchive = a.size() == 7 && a[6] == "archive";
      store.CreateDatabase(a[1], db, Split(a[5], ','));
      db2sim::WriteNodesFile(store, a[1]);
    } else if (cmd == "write" && a.size() == 6) {
      store.WriteData(a[1], a[2], Node(a[3]), a[4], a[5]);
    } else if (cmd == "checksum" && a.size() == 4) {
      std::printf("%016llx\n",
                  static_cast<unsigned long long>(store.ContentChecksum(a[1], a[2], Node(a[3]))));
    } else if (cmd == "calls" && a.size() == 1) {
      std::string text =
          db2sim::Exists(store.CallsLog()) ? db2sim::ReadWholeFile(store.CallsLog()) : "";
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else if (cmd == "fault" && a.size() == 3) {
      bool clear = a[2] == "clear";
      char* end = nullptr;
      long code = std::strtol(a[2].c_str(), &end, 10);
      if (!clear && (a[2].empty() || *end != '\0')) return Usage();
      db2sim::SetFault(store.root(), a[1], static_cast<int>(code), clear);
    } else if (cmd == "log" && (a.size() == 6 || a.size() == 7)) {
      db2sim::WriteLogged(store, a[1], a[2], Node(a[3]), a[4], a[5], a.size() == 7 ? a[6] : "");
    } else if ((cmd == "start" || cmd == "stop") && a.size() == 2) {
      db2sim::Instance inst = store.ReadInstance(a[1]);
      inst.started = cmd == "start";
      store.CreateInstance(inst);
    } else if (cmd == "archive" && a.size() == 4) {
      int code = db2sim::ArchiveLog(store, a[1], a[2], Node(a[3]), 60000);
      if (code != 0) {
        std::fprintf(stderr, "db2standin-admin: archiving failed with SQLCODE %d\n", code);
        return 1;
      }
    } else {
      return Usage();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "db2standin-admin: %s\n", e.what());
    return 1;
  }
  return 0;
}
