// Catalogue set 80: the reports of the data path (the block and record
// formats, the buffer managers and the network processes). Every text of the
// set has its one name here; the texts themselves are in the "C" catalogue
// source.
#pragma once

inline constexpr int kDaMsgSet = 80;

// Commands run for the data path: execution switched off; a command refused.
inline constexpr int kDaMsgExecOff = 48;
inline constexpr int kDaMsgExecRefused = 49;

// The media agent: host, port and error text; error text.
inline constexpr int kDaMsgConnect = 1001;
inline constexpr int kDaMsgNoAnswer = 1002;
inline constexpr int kDaMsgAttach = 1003;
inline constexpr int kDaMsgOpenFile = 1004;
// Bytes the record needs, bytes an empty block holds.
inline constexpr int kDaMsgRecordTooLarge = 1005;
inline constexpr int kDaMsgNoTarget = 1006;
inline constexpr int kDaMsgPipes = 1010;
inline constexpr int kDaMsgFork = 1011;

// The session manager's link and the data connection as a buffer manager
// waits on them.
inline constexpr int kDaMsgSmClosed = 1022;
inline constexpr int kDaMsgWaitFailed = 1023;
inline constexpr int kDaMsgSmRead = 1024;
inline constexpr int kDaMsgSmParse = 1025;
inline constexpr int kDaMsgSmAbort = 1026;
inline constexpr int kDaMsgSmUnknown = 1027;
inline constexpr int kDaMsgNetRead = 1028;
inline constexpr int kDaMsgNetClosed = 1029;
inline constexpr int kDaMsgNetParse = 1030;
inline constexpr int kDaMsgNetAbort = 1031;
inline constexpr int kDaMsgNetUnknown = 1032;

// A file in place of a media agent.
inline constexpr int kDaMsgFileWrite = 1042;
inline constexpr int kDaMsgFileRead = 1043;
inline constexpr int kDaMsgFileEnded = 1044;

// Blocks and records read back: the expected block or record number.
inline constexpr int kDaMsgBlockSequence = 1104;
inline constexpr int kDaMsgBadHeader = 1106;
inline constexpr int kDaMsgRecordSequence = 1107;
inline constexpr int kDaMsgBeyondBlock = 1111;

// Reconnection to the media agent (its host).
inline constexpr int kDaMsgReconnecting = 1400;
inline constexpr int kDaMsgReconnected = 1401;
