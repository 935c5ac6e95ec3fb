// The instance owners' accounts and the partition list of the stand-in DB2.
#include "db2/accounts.h"

#include <unistd.h>

#include <set>

#include "db2/util.h"

namespace db2sim {

std::string AccountsPasswdFile(const Store& store) {
  return store.root() + "/nss/passwd";
}
std::string AccountsGroupFile(const Store& store) {
  return store.root() + "/nss/group";
}

void WriteAccounts(const Store& store) {
  const std::string uid = std::to_string(::getuid());
  const std::string gid = std::to_string(::getgid());
  std::string passwd, group;
  std::set<std::string> owners;
  for (const auto& name : ListDir(store.root() + "/instances")) {
    Instance inst = store.ReadInstance(name);
    if (inst.owner.empty() || !owners.insert(inst.owner).second) continue;
    passwd +=
        inst.owner + ":x:" + uid + ":" + gid + ":" + inst.owner + ":" + inst.home + ":/bin/sh\n";
  }
  group = "db2iadm1:x:" + gid + ":";
  bool first = true;
  for (const auto& o : owners) {
    group += (first ? "" : ",") + o;
    first = false;
  }
  group += "\n";
  MakeDirs(store.root() + "/nss");
  WriteWholeFile(AccountsPasswdFile(store), passwd);
  WriteWholeFile(AccountsGroupFile(store), group);
}

void WriteNodesFile(const Store& store, const std::string& instance) {
  std::set<int> nodes;
  for (const auto& db : store.ListDatabases(instance))
    if (store.HasDatabase(instance, db))
      for (int n : store.ReadDatabase(instance, db).partitions) nodes.insert(n);
  const std::string path = store.ReadInstance(instance).home + "/sqllib/db2nodes.cfg";
  if (nodes.empty() || (nodes.size() == 1 && *nodes.begin() == 0)) {
    ::unlink(path.c_str());
    return;
  }
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) != 0) throw Error("gethostname failed");
  std::string text;
  int port = 0;
  for (int n : nodes) text += std::to_string(n) + " " + host + " " + std::to_string(port++) + "\n";
  WriteWholeFile(path, text);
}

}  // namespace db2sim
