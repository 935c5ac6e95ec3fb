// Catalogue query engine: one request on a catalogue session, its rows and
// the MSG_RESULT that ends it, with every count from the peer checked.
#include "barutil/query.h"

#include <strings.h>

#include <cstdarg>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csasession.h"

TARN_RCSID("integ/barutil/query.cpp");

const QueryDescription msg_description_table[kQueryDescriptions] = {
    {1022, "FUN_LISTOBJECTS", 1, 1023, 2, 0},
    {1069, "FUN_LISTPARTOFOBJECT", 2, 1070, 2, 0},
    {1083, "FUN_LISTOVEROFAPPBACKUP", 3, 1084, 28, 0},
    {1026, "FUN_LISTOVEROFSESSION", 1, 1027, 28, 0},
    {1024, "FUN_LISTVEROFOBJECT", 3, 1025, 27, 0},
    {1032, "FUN_LISTCATALOG", 1, 1033, 10, 0},
    {1036, "FUN_FILEPATTERNSEARCH", 8, 1037, 11, 0},
    {1060, "FUN_FBLISTFILEVERS", 2, 1061, 37, 0},
    {1054, "FUN_FBLISTDIR", 2, 1055, 11, 0},
    {1052, "FUN_FBLISTFULLRESCHAIN", 2, 1053, 27, 4},
    {1050, "FUN_FBLISTALLOVER", 2, 1051, 29, 4},
    {1612, "FUN_LISTMEDIAOFOVER", 1, 1613, 22, 0},
    {1616, "FUN_LISTCATALOGONMED", 2, 1033, 10, 0},
    {1601, "FUN_CHANGEOVERPROT", 3, 0, 0, 0},
    {1000, "FUN_FINDSESSION", 1, 0, 0, 14},
    {1002, "FUN_FINDOVER", 2, 0, 0, 26},
    {1001, "FUN_GETOVER", 1, 0, 0, 29},
    {1801, "FUN_PUTFILE", 1, 0, 0, 1},
    {1800, "FUN_GETFILE", 1, 0, 0, 1},
    {1806, "FUN_EXECINTEGUTIL", 0, 1804, 1, 1},
    {1872, "FUN_EXECINTEGUTILEX", 0, 1804, 1, 1},
    {1020, "FUN_LISTSESSIONS", 4, 1021, 15, 0},
    {1033, "FUN_LISTFILENAMES", 3, 1034, 4, 0},
    {1803, "FUN_EXECUTIL", 0, 1804, 1, 1},
};

namespace {

constexpr int kLevel = 30;

int DefaultRead(IpcHandle handle, char** message, int timeout) {
  *message = nullptr;
  if (IpcWaitForIpcEventOnHandle(handle, timeout) < 0) {
    ErhMark(ECSACONNECTION, 0, "query_read", 2);
    ErhSetErrorInfo("no message from the catalogue within the time-out");
    return -1;
  }
  return MCsaRead(handle, message);
}

QueryReadFn readFn = DefaultRead;
QueryWriteFn writeFn = MCsaWrite;

void Fail(query_t* query, int code) {
  query->error = code;
  query->state = kQueryIdle;
}

// Splits the message behind its code into fields: exactly `exact` when
// `exact` is set, else at least `count`.
bool TakeFields(StrMsg* rec, query_t* query, int count, bool exact) {
  query->fields.assign(static_cast<std::size_t>(count), nullptr);
  for (int i = 0; i < count; ++i) {
    char* item = StrParseNextL(rec);
    if (item == nullptr) return false;
    query->fields[static_cast<std::size_t>(i)] = item;
  }
  if (exact && StrParseNextL(rec) != nullptr) return false;
  query->nfields = count;
  return true;
}

bool SendRequest(query_t* query, IpcHandle handle, StrMsg* request) {
  const bool ok = query_opent(query, handle, StrMsgGetBufL(request));
  StrMsgFreeL(request);
  return ok;
}

}  // namespace

void QueryMessageFree::operator()(char* text) const {
  safe_free(text, rcsId, __LINE__);
}

void query_setio(QueryReadFn read, QueryWriteFn write) {
  readFn = read != nullptr ? read : DefaultRead;
  writeFn = write != nullptr ? write : MCsaWrite;
}

const QueryDescription* query_get_description(int id) {
  for (const QueryDescription& row : msg_description_table)
    if (row.id == id) return &row;
  return nullptr;
}

const QueryDescription* query_get_description_by_name(const char* name) {
  if (name == nullptr) return nullptr;
  for (const QueryDescription& row : msg_description_table)
    if (strcasecmp(row.name, name) == 0) return &row;
  return nullptr;
}

bool query_opent(query_t* query, IpcHandle handle, const char* request) {
  static const char kFn[] = "query_opent";
  const int timeout = query->timeout;
  const int strict = query->strict;
  *query = query_t{};
  query->timeout = timeout;
  query->strict = strict;
  query->handle = handle;
  StrMsg rec;
  StrMsgInitL(&rec);
  const int id = request != nullptr ? StrParseStartL(&rec, request) : -1;
  query->description = query_get_description(id);
  if (query->description == nullptr) {
    ErhMark(kQueryNoRequest, 0, kFn, 2);
    Fail(query, kQueryNoRequest);
    return false;
  }
  DbgPlain(kLevel, "[%s] ID=%s", kFn, query->description->name);
  DbgPlain(kLevel, "[%s] Handle=%d", kFn, handle);
  for (const char* item = StrParseNextL(&rec); item != nullptr; item = StrParseNextL(&rec))
    DbgPlain(kLevel, "[%s]   '%s'", kFn, item);
  if (writeFn(handle, request) != 0) {
    DbgPlain(kLevel, "[%s] Write error '%s'", kFn, ErhErrnoToText());
    Fail(query, kQueryWriteFailed);
    return false;
  }
  const QueryDescription& d = *query->description;
  query->fields.reserve(
      static_cast<std::size_t>(d.rowFields > d.resultFields ? d.rowFields : d.resultFields));
  query->state = kQueryAwaiting;
  return true;
}

bool query_openv(query_t* query, IpcHandle handle, int id, const char* format, va_list args) {
  StrMsg request;
  StrMsgInitL(&request);
  if (StrMsgStartExL(&request, nullptr, 0, id, 0) != 0 ||
      (format != nullptr && StrMsgFAppendVAL(&request, format, args) != 0)) {
    StrMsgFreeL(&request);
    Fail(query, kQueryWriteFailed);
    return false;
  }
  return SendRequest(query, handle, &request);
}

bool query_open(query_t* query, IpcHandle handle, int id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = query_openv(query, handle, id, format, args);
  va_end(args);
  return ok;
}

bool query_opens(query_t* query, IpcHandle handle, int id, ...) {
  StrMsg request;
  StrMsgInitL(&request);
  va_list args;
  va_start(args, id);
  int rc = StrMsgStartExL(&request, nullptr, 0, id, 0);
  for (const char* item = va_arg(args, const char*); rc == 0 && item != nullptr;
       item = va_arg(args, const char*))
    rc = StrMsgAppendL(&request, item);
  va_end(args);
  if (rc != 0) {
    StrMsgFreeL(&request);
    Fail(query, kQueryWriteFailed);
    return false;
  }
  return SendRequest(query, handle, &request);
}

bool query_read(query_t* query) {
  static const char kFn[] = "query_read";
  if (query->description == nullptr) {
    query->error = kQueryNoRequest;
    return false;
  }
  query->fields.clear();
  query->nfields = 0;
  const QueryDescription& d = *query->description;
  StrMsg rec;
  StrMsgInitL(&rec);
  while (query->state == kQueryAwaiting) {
    query->message.reset();
    char* text = nullptr;
    if (readFn(query->handle, &text, query->timeout) != 0) {
      safe_free(text, rcsId, __LINE__);
      DbgPlain(kLevel, "[%s] Read error '%s'", kFn, ErhErrnoToText());
      Fail(query, kQueryReadFailed);
      return false;
    }
    query->message.reset(text);
    const int id = text != nullptr ? StrParseStartL(&rec, text) : -1;
    if (id < 0) {
      // The request's MSG_RESULT is still to come: the state stays so that
      // a close reads up to it.
      DbgPlain(kLevel, "[%s] StrParseStart failed", kFn);
      query->error = kQueryBadMessage;
      return false;
    }
    query->lastId = id;
    DbgPlain(kLevel, "[%s] Received message ID=%d", kFn, id);
    if (d.rowId != 0 && id == d.rowId) {
      query->state = kQueryRowReady;
      break;
    }
    if (id == MSG_RESULT) {
      const char* code = StrParseNextL(&rec);
      StrParseStartL(&rec, text);
      const int err = ErhUnpackMsgL(&rec);
      query->state = kQueryIdle;
      query->error = 0;
      DbgPlain(kLevel, "[%s] Got MSG_RESULT. Errno=%d", kFn, err);
      if (err < 0) {
        query->error = kQueryBadMessage;
      } else if (err == 0) {
        if (d.resultFields > 0 && !TakeFields(&rec, query, d.resultFields, false)) {
          query->fields.clear();
          query->error = kQueryBadMessage;
        }
      } else if (err == kQueryEndNoData || err == kQueryEndNoMore) {
        ErhClearError();
      } else {
        query->error = kQueryEndedWithError;
        query->fields.assign(1, code);
        query->nfields = 1;
      }
      return false;
    }
    if (query->strict) {
      DbgPlain(kLevel, "[%s] Unexpected message ID=%d", kFn, id);
      query->error = kQueryUnexpected;
      return false;
    }
    DbgPlain(kLevel, "[%s] Ignoring unexpected message ID=%d", kFn, id);
  }
  if (query->state != kQueryRowReady) return false;
  query->state = kQueryAwaiting;
  if (d.rowFields == 0) return true;
  // A row that does not carry exactly the table's fields fails the query:
  // skipping it would hide a lost record from the caller.
  if (!TakeFields(&rec, query, d.rowFields, true)) {
    query->fields.clear();
    query->nfields = 0;
    DbgPlain(kLevel, "[%s] Row of message ID=%d has not %d fields", kFn, query->lastId,
             d.rowFields);
    query->error = kQueryBadMessage;
    return false;
  }
  return true;
}

bool query_close(query_t* query) {
  bool inStep = query->error != kQueryReadFailed;
  if (inStep && query->description != nullptr && query->state != kQueryIdle) {
    DbgPlain(kLevel, "Discarding data from the previous query.");
    query->strict = 0;
    while (query->state != kQueryIdle) {
      if (query_read(query)) continue;
      if (query->error == kQueryReadFailed) {
        inStep = false;
        break;
      }
    }
  }
  const int timeout = query->timeout;
  *query = query_t{};
  query->timeout = timeout;
  return inStep;
}

bool query_empty(const query_t* query) {
  return query->nfields == 0;
}
