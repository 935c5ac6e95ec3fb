// Catalogue set 131: the reports of the integration API and of its catalogue
// queries. Every text of the set has its one name here; the texts themselves
// are in the "C" catalogue source.
#pragma once

inline constexpr int kBarMsgSet = 131;

// Catalogue queries; the argument is the error text (7: the message id).
inline constexpr int kBarMsgCatalogSession = 2;
inline constexpr int kBarMsgCatalogStart = 3;
inline constexpr int kBarMsgCatalogRead = 4;
inline constexpr int kBarMsgCatalogParse = 5;
inline constexpr int kBarMsgCatalogQuery = 6;
inline constexpr int kBarMsgCatalogUnexpected = 7;

// Objects; the argument is the object's name.
inline constexpr int kBarMsgBackupStarted = 11;
inline constexpr int kBarMsgBackupCompleted = 19;
inline constexpr int kBarMsgRestoreStarted = 21;
inline constexpr int kBarMsgRestoreCompleted = 29;
// The item name too long for the catalogue (its last characters).
inline constexpr int kBarMsgItemNameTooLong = 20;

// The session manager's connection.
inline constexpr int kBarMsgSmConnect = 12;  // error text
inline constexpr int kBarMsgSmRead = 14;
inline constexpr int kBarMsgSmClosed = 15;
inline constexpr int kBarMsgSmParse = 16;
inline constexpr int kBarMsgSmAborted = 17;       // abort reason (a literal)
inline constexpr int kBarMsgSmSend = 23;          // error text
inline constexpr int kBarMsgSessionAborted = 27;  // abort reason (a literal)
inline constexpr int kBarMsgSmUnexpected = 28;    // message code
inline constexpr int kBarMsgAbortingCode = 32;    // abort code
inline constexpr int kBarMsgAbortedCode = 33;     // abort code

// The cell manager; the user, group and host, or the error text.
inline constexpr int kBarMsgUnknownUser = 51;
inline constexpr int kBarMsgNoBackupRights = 52;
inline constexpr int kBarMsgNoRestoreRights = 53;
inline constexpr int kBarMsgCellManagerConnect = 54;
inline constexpr int kBarMsgAccessRights = 55;
inline constexpr int kBarMsgNoCellManager = 56;

// The data buffer handed over without copying is not the media agent's.
inline constexpr int kBarMsgZeroCopyFailed = 100;

// Pre- and post-execution scripts: the script's path, or its exit value.
inline constexpr int kBarMsgPreExec = 101;
inline constexpr int kBarMsgPostExec = 102;
inline constexpr int kBarMsgScriptOk = 103;
inline constexpr int kBarMsgScriptFailed = 104;
inline constexpr int kBarMsgScriptTimeout = 105;
inline constexpr int kBarMsgScriptNoStart = 106;
inline constexpr int kBarMsgScriptAbnormal = 107;

// Encryption: the cipher's name, or the error text.
inline constexpr int kBarMsgEncryptOn = 221;
inline constexpr int kBarMsgDecryptOn = 222;
inline constexpr int kBarMsgEncryptStart = 225;
inline constexpr int kBarMsgEncryptRecord = 226;
inline constexpr int kBarMsgEncryptRefresh = 227;
inline constexpr int kBarMsgEncryptInvalid = 228;
inline constexpr int kBarMsgEncryptMissing = 229;
