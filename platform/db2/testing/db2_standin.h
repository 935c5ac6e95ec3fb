// The stand-in DB2 for tests of any layer: a temporary state folder and an
// instance whose owner's home is a temporary folder too, made the process's
// settings (TARN_DB2_STATE, DB2INSTANCE) for the object's lifetime. Nothing
// is written outside the temporary folders.
#pragma once

#include <string>
#include <vector>

#include "db2/store.h"
#include "tarn_test.h"

namespace db2sim::testing {

class Db2StandIn {
 public:
  // Creates the instance (started, owner = instance name) and its owner's
  // account file (AccountEnvironment); a database of more than partition 0
  // also writes "sqllib/db2nodes.cfg" under home(). `user` and
  // `password` empty let any attach through.
  explicit Db2StandIn(const std::string& instance = "db2inst1", const std::string& user = "",
                      const std::string& password = "");
  ~Db2StandIn();
  Db2StandIn(const Db2StandIn&) = delete;
  Db2StandIn& operator=(const Db2StandIn&) = delete;

  const std::string& state() const { return state_.path(); }
  // The instance owner's home; "sqllib/adm" exists under it.
  const std::string& home() const { return home_.path(); }
  const std::string& instance() const { return instance_; }
  Store store() const { return Store(state()); }

  void CreateDatabase(const std::string& name, const std::vector<int>& partitions, int catalog,
                      const std::vector<std::string>& tableSpaces, bool logArchive = false) const;
  void DropDatabase(const std::string& name) const;
  // Settings that give a program started for a test the instance owner's
  // account (owner name = instance name, home = home()) through nss_wrapper:
  // "NAME=value" texts to add to its environment.
  std::vector<std::string> AccountEnvironment() const;
  // Points the instance's user-exit link at `program`.
  void InstallUserExit(const std::string& program) const;
  // Makes `call` fail with `sqlcode` (see FaultFor).
  void Fault(const std::string& call, int sqlcode) const;
  // The calls log so far.
  std::string Calls() const;

  // Programs and the trivial vendor library built beside the stand-in.
  static const char* AdminProgram();
  static const char* SessionProgram();
  // Keeps objects as files in the folder its options block names
  // ("dir=<path>\n"); see test/testvendor.cpp for its fault lines.
  static const char* TestVendorLibrary();

 private:
  tarn::test::TempDir state_, home_;
  std::string instance_;
  std::string oldState_, oldInstance_;
  bool hadState_ = false, hadInstance_ = false;
};

}  // namespace db2sim::testing
