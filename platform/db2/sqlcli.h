// Call-level interface of the stand-in DB2: handles, connect, disconnect and
// diagnostic records.
#pragma once

#include <cstdint>

extern "C" {

typedef std::int32_t SQLHANDLE;
typedef SQLHANDLE SQLHENV;
typedef SQLHANDLE SQLHDBC;
typedef std::int16_t SQLSMALLINT;
typedef std::int32_t SQLINTEGER;
typedef std::int16_t SQLRETURN;
typedef unsigned char SQLCHAR;

enum { SQL_HANDLE_ENV = 1, SQL_HANDLE_DBC = 2 };
enum {
  SQL_SUCCESS = 0,
  SQL_SUCCESS_WITH_INFO = 1,
  SQL_NO_DATA_FOUND = 100,
  SQL_ERROR = -1,
  SQL_INVALID_HANDLE = -2,
};
enum { SQL_NULL_HANDLE = 0, SQL_NTS = -3 };

// Environment (`input` SQL_NULL_HANDLE) or connection (`input` an environment).
SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output);
// Connects to the database `server` on the connect partition set with
// sqlesetc_api; user and password may be empty.
SQLRETURN SQLConnect(SQLHDBC connection, SQLCHAR* server, SQLSMALLINT serverLength, SQLCHAR* user,
                     SQLSMALLINT userLength, SQLCHAR* password, SQLSMALLINT passwordLength);
SQLRETURN SQLDisconnect(SQLHDBC connection);
SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle);
// Diagnostic record `record` (from 1) of the handle's last call;
// SQL_NO_DATA_FOUND past the last one. `state` needs 6 bytes.
SQLRETURN SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR* state,
                        SQLINTEGER* nativeError, SQLCHAR* message, SQLSMALLINT bufferLength,
                        SQLSMALLINT* textLength);

}  // extern "C"
