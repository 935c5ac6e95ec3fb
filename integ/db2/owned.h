// Scope owners for what the DB2 programs get from the lower layers: a
// safe_malloc block (texts from CliReadCSHost, EncodePassword, DecodePassword
// and the like) and a parameter list read from the cell server.
#pragma once

#include "barutil/bp.h"
#include "cmn/ctx.h"

// Frees the block with safe_free at scope end.
struct Db2HeapText {
  char* p = nullptr;
  Db2HeapText() = default;
  explicit Db2HeapText(char* text) : p(text) {}
  Db2HeapText(const Db2HeapText&) = delete;
  Db2HeapText& operator=(const Db2HeapText&) = delete;
  ~Db2HeapText() {
    if (p != nullptr) safe_free(p, "integ/db2/owned.h", __LINE__);
  }
};

// A parameter list, freed at scope end.
struct Db2List {
  BpList v{};
  Db2List() = default;
  Db2List(const Db2List&) = delete;
  Db2List& operator=(const Db2List&) = delete;
  ~Db2List() { CmnVarFree(&v); }
};
