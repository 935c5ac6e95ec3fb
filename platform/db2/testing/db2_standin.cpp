// The stand-in DB2 for tests of any layer.
#include "db2/testing/db2_standin.h"

#include <stdlib.h>
#include <unistd.h>

#include "db2/accounts.h"
#include "db2/util.h"

namespace db2sim::testing {
namespace {

void Remember(const char* name, std::string& old, bool& had) {
  const char* v = ::getenv(name);
  had = v != nullptr;
  if (had) old = v;
}

void Restore(const char* name, const std::string& old, bool had) {
  if (had)
    ::setenv(name, old.c_str(), 1);
  else
    ::unsetenv(name);
}

}  // namespace

Db2StandIn::Db2StandIn(const std::string& instance, const std::string& user,
                       const std::string& password)
    : instance_(instance) {
  Remember("TARN_DB2_STATE", oldState_, hadState_);
  Remember("DB2INSTANCE", oldInstance_, hadInstance_);
  ::setenv("TARN_DB2_STATE", state().c_str(), 1);
  ::setenv("DB2INSTANCE", instance.c_str(), 1);
  store().CreateInstance({instance, home(), instance, user, password, true});
  WriteAccounts(store());
}

Db2StandIn::~Db2StandIn() {
  Restore("TARN_DB2_STATE", oldState_, hadState_);
  Restore("DB2INSTANCE", oldInstance_, hadInstance_);
}

void Db2StandIn::CreateDatabase(const std::string& name, const std::vector<int>& partitions,
                                int catalog, const std::vector<std::string>& tableSpaces,
                                bool logArchive) const {
  store().CreateDatabase(instance_, {name, partitions, catalog, logArchive}, tableSpaces);
  WriteNodesFile(store(), instance_);
}

void Db2StandIn::DropDatabase(const std::string& name) const {
  store().DropDatabase(instance_, name);
  WriteNodesFile(store(), instance_);
}

std::vector<std::string> Db2StandIn::AccountEnvironment() const {
  // The preloaded wrapper comes before a sanitizer runtime, which would
  // otherwise refuse to start, and must not load the C library with
  // RTLD_DEEPBIND, which the sanitizers refuse.
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  if (const char* old = ::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0')
    asan += std::string(":") + old;
  return {std::string("LD_PRELOAD=") + TARN_NSS_WRAPPER,
          "NSS_WRAPPER_PASSWD=" + AccountsPasswdFile(store()),
          "NSS_WRAPPER_GROUP=" + AccountsGroupFile(store()), "NSS_WRAPPER_DISABLE_DEEPBIND=1",
          asan};
}

void Db2StandIn::InstallUserExit(const std::string& program) const {
  std::string link = home() + "/sqllib/adm/db2uext2";
  ::unlink(link.c_str());
  if (::symlink(program.c_str(), link.c_str()) != 0) throw Error("cannot link " + link);
}

void Db2StandIn::Fault(const std::string& call, int sqlcode) const {
  SetFault(state(), call, sqlcode);
}

std::string Db2StandIn::Calls() const {
  std::string path = store().CallsLog();
  return Exists(path) ? ReadWholeFile(path) : std::string();
}

const char* Db2StandIn::AdminProgram() {
  return TARN_DB2_ADMIN;
}
const char* Db2StandIn::SessionProgram() {
  return TARN_DB2_SESSION;
}
const char* Db2StandIn::TestVendorLibrary() {
  return TARN_DB2_TESTVENDOR;
}

}  // namespace db2sim::testing
