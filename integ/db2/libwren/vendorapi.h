// DB2's backup vendor interface as this library sees it: the structures DB2
// hands to sqluvint, sqluvget, sqluvput, sqluvend and sqluvdel, and the codes
// it takes back. Plain C layout that must match DB2's byte for byte (the
// asserts at the end pin every offset); DB2 owns every text it points to.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Results of the entry points.
enum VendorResult : int {
  SQLUV_OK = 0,
  SQLUV_OBJ_NOT_FOUND = 6,
  SQLUV_INIT_FAILED = 11,
  SQLUV_INV_DEV_HANDLE = 12,  // a control block this process does not hold
  SQLUV_COMMIT_FAILED = 17,
  SQLUV_MORE_DATA = 21,
  SQLUV_ENDOFMEDIA_NO_DATA = 22,
  SQLUV_ENDOFMEDIA = 23,
  SQLUV_IO_ERROR = 25,
};

// The first argument of sqluvend.
enum VendorEndAction : std::int32_t { SQLUV_COMMIT = 0, SQLUV_ABORT = 1 };

struct DB2_object_entry {
  char* name;
};
struct DB2_object_list {
  std::int32_t num_of_entries;
  DB2_object_entry* entries;
};

// The session as DB2 describes it. `action` begins with 'W' (backup) or 'R'
// (restore).
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

// Filled by sqluvint; DB2 keeps it and the texts for the session.
struct Vendor_info {
  char* vendor_id;
  char* version;
  char* release;
  char* level;
  char* server_id;
  std::int32_t max_bytes_per_txn;
  std::int32_t num_objects_in_backup;
};

// `options` points to `size_options_full` bytes (DB2's 16-bit `size_options`
// when that is 0) of the vendor-options record.
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

struct Init_output {
  Vendor_info* vendor_session;
  void* pVendorCB;
  void* reserve;
};

// One buffer: sqluvput stores `buff_size` bytes at `dataptr`; sqluvget fills
// up to `buff_size` bytes of object `obj_num` and sets `actual_buf_size`.
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

// The exported entry points. Nothing is thrown out of them.
int sqluvint(Init_input* in, Init_output* out, Return_code* rc);
int sqluvget(void* pVendorCB, Data* data, Return_code* rc);
int sqluvput(void* pVendorCB, Data* data, Return_code* rc);
int sqluvend(std::int32_t action, void* pVendorCB, Init_output* out, Return_code* rc);
int sqluvdel(Init_input* in, Init_output* out, Return_code* rc);

}  // extern "C"

// DB2's byte layout on the 64-bit platforms this library is built for: a field
// moved or resized fails the build, not a session.
static_assert(offsetof(DB2_info, DB2_id) == 0);
static_assert(offsetof(DB2_info, action) == 32);
static_assert(offsetof(DB2_info, db2instance) == 56);
static_assert(offsetof(DB2_info, type) == 64);
static_assert(offsetof(DB2_info, alias) == 80);
static_assert(offsetof(DB2_info, timestamp) == 88);
static_assert(offsetof(DB2_info, sequence) == 96);
static_assert(offsetof(DB2_info, obj_list) == 104);
static_assert(offsetof(DB2_info, max_bytes_per_txn) == 112);
static_assert(offsetof(DB2_info, mcNameP) == 120);
static_assert(offsetof(DB2_info, owner) == 144);
static_assert(offsetof(DB2_info, nodeNum) == 152);
static_assert(sizeof(DB2_info) == 160);
static_assert(offsetof(Vendor_info, server_id) == 32);
static_assert(offsetof(Vendor_info, max_bytes_per_txn) == 40);
static_assert(offsetof(Vendor_info, num_objects_in_backup) == 44);
static_assert(sizeof(Vendor_info) == 48);
static_assert(offsetof(Init_input, size_options) == 8);
static_assert(offsetof(Init_input, size_HI_order) == 12);
static_assert(offsetof(Init_input, size_LOW_order) == 16);
static_assert(offsetof(Init_input, options) == 24);
static_assert(offsetof(Init_input, prompt_lng) == 40);
static_assert(offsetof(Init_input, num_sessions) == 48);
static_assert(offsetof(Init_input, size_options_full) == 52);
static_assert(sizeof(Init_input) == 56);
static_assert(offsetof(Init_output, pVendorCB) == 8);
static_assert(sizeof(Init_output) == 24);
static_assert(offsetof(Data, buff_size) == 4);
static_assert(offsetof(Data, actual_buf_size) == 8);
static_assert(offsetof(Data, dataptr) == 16);
static_assert(sizeof(Data) == 32);
static_assert(offsetof(Return_code, description) == 4);
static_assert(offsetof(Return_code, reserve) == 64);
static_assert(sizeof(Return_code) == 72);
static_assert(offsetof(DB2_object_list, entries) == 8);
static_assert(sizeof(DB2_object_list) == 16);
