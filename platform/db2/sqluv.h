// Backup vendor interface of the stand-in DB2: the structures DB2 hands to a
// vendor library's sqluvint/sqluvget/sqluvput/sqluvend/sqluvdel and the codes
// it expects back. Shared by the stand-in (the caller) and by vendor
// libraries (the callee); plain C layout so both sides agree.
#pragma once

#include <cstdint>

extern "C" {

// Results of the vendor entry points.
enum {
  SQLUV_OK = 0,
  SQLUV_LINK_EXIST = 1,
  SQLUV_COMM_ERROR = 2,
  SQLUV_INV_VERSION = 3,
  SQLUV_INV_ACTION = 4,
  SQLUV_NO_DEV_AVAIL = 5,
  SQLUV_OBJ_NOT_FOUND = 6,
  SQLUV_OBJS_FOUND = 7,
  SQLUV_INV_USERID = 8,
  SQLUV_INV_PASSWORD = 9,
  SQLUV_INV_OPTIONS = 10,
  SQLUV_INIT_FAILED = 11,
  SQLUV_INV_DEV_HANDLE = 12,
  SQLUV_BUFF_SIZE = 13,
  SQLUV_END_OF_DATA = 14,
  SQLUV_END_OF_TAPE = 15,
  SQLUV_DATA_RESEND = 16,
  SQLUV_COMMIT_FAILED = 17,
  SQLUV_DEV_ERROR = 18,
  SQLUV_WARNING = 19,
  SQLUV_LINK_NOT_EXIST = 20,
  SQLUV_MORE_DATA = 21,
  SQLUV_ENDOFMEDIA_NO_DATA = 22,
  SQLUV_ENDOFMEDIA = 23,
  SQLUV_MAX_LINK_GRANT = 24,
  SQLUV_IO_ERROR = 25,
  SQLUV_DELETE_FAILED = 26,
  SQLUV_INV_BKUP_FNAME = 27,
  SQLUV_NOT_ENOUGH_SPACE = 28,
  SQLUV_ABORT_FAILED = 29,
  SQLUV_UNEXPECTED_ERROR = 30,
  SQLUV_NO_DATA = 31,
  SQLUV_OBJ_OUT_OF_SCOPE = 32,
};

// The action argument of sqluvend.
enum { SQLUV_COMMIT = 0, SQLUV_ABORT = 1 };

// Objects of an earlier backup that DB2 names to the library (restore).
struct DB2_object_entry {
  char* name;
};
struct DB2_object_list {
  std::int32_t num_of_entries;
  DB2_object_entry* entries;
};

// What DB2 tells the library about the session. Texts are NUL-terminated and
// owned by DB2; `action` begins with 'W' for a backup and 'R' for a restore.
struct DB2_info {
  char* DB2_id;
  char* version;
  char* release;
  char* level;
  char* action;
  char* filename;
  char* server_id;
  char* db2instance;
  char* type;
  char* dbname;
  char* alias;
  char* timestamp;
  char* sequence;
  DB2_object_list* obj_list;
  std::int32_t max_bytes_per_txn;
  char* mcNameP;
  char* nodename;
  char* password;
  char* owner;
  std::int16_t nodeNum;
};

// Filled by the library in sqluvint; DB2 keeps it for the session and never
// frees the texts.
struct Vendor_info {
  char* vendor_id;
  char* version;
  char* release;
  char* level;
  char* server_id;
  std::int32_t max_bytes_per_txn;
  std::int32_t num_objects_in_backup;
};

// Input of sqluvint and sqluvdel. `options` points to the vendor-options
// block the caller of the backup or restore passed, copied into this process;
// `size_options` is its length in bytes.
struct Init_input {
  DB2_info* DB2_session;
  std::uint16_t size_options;
  std::uint32_t size_HI_order;
  std::uint32_t size_LOW_order;
  void* options;
  void* reserve;
  char* prompt_lng;
  std::int32_t num_sessions;
  std::uint32_t size_options_full;
};

// Output of sqluvint: the library's description and its per-session handle,
// which DB2 passes back to every later call.
struct Init_output {
  Vendor_info* vendor_session;
  void* pVendorCB;
  void* reserve;
};

// One buffer of image data. sqluvput: `buff_size` bytes at `dataptr` to store.
// sqluvget: room for `buff_size` bytes; the library sets `actual_buf_size`.
// `obj_num` picks the backup object a restore session reads.
struct Data {
  std::int32_t obj_num;
  std::int32_t buff_size;
  std::int32_t actual_buf_size;
  char* dataptr;
  void* reserve;
};

struct Return_code {
  std::int32_t return_code;
  char description[60];
  void* reserve;
};

// The entry points a vendor library exports (looked up with dlsym).
int sqluvint(Init_input* in, Init_output* out, Return_code* rc);
int sqluvget(void* pVendorCB, Data* data, Return_code* rc);
int sqluvput(void* pVendorCB, Data* data, Return_code* rc);
int sqluvend(std::int32_t action, void* pVendorCB, Init_output* out, Return_code* rc);
int sqluvdel(Init_input* in, Init_output* out, Return_code* rc);

typedef int (*sqluvint_fn)(Init_input*, Init_output*, Return_code*);
typedef int (*sqluvget_fn)(void*, Data*, Return_code*);
typedef int (*sqluvput_fn)(void*, Data*, Return_code*);
typedef int (*sqluvend_fn)(std::int32_t, void*, Init_output*, Return_code*);
typedef int (*sqluvdel_fn)(Init_input*, Init_output*, Return_code*);

}  // extern "C"
