// Private helpers of the cell-server client shared by its sources: context
// access, the checks every request makes, and the transport on a slot record
// or a bare handle.
#pragma once

#include <cstdarg>
#include <string>

#include "csa/csa.h"

namespace csa_detail {

// Trace levels: the client's flow, and every message and chunk.
constexpr int kLevel = 30;
constexpr int kLevelData = 31;

// The client state, created on first use; null without a context table.
CsaContext* Ctx();
// The client state when the client runs; else null with 1613 marked (level 3).
CsaContext* Running(const char* function);
// The message of a running client.
StrMsg* Msg();

// The bind time-out in seconds, which bounds a connect and the port
// exchange with an inet service: VEKCSBINDTIMEOUT when it holds 1 to 3600,
// else the global option BindTimeout once known, else its default.
int BindTimeout();
// How long the client waits for a server to take a request or to answer
// it, the login included: VEKCSREPLYTIMEOUT when it holds 1 to 86400, else
// kCsaDefaultReplyTimeout.
int ReplyTimeout();

// A running client and a bound, connected slot: else null with 1613, 1004
// (level 3) or 1011 marked (with ETIMEDOUT for a slot given up as silent).
// Nothing is sent.
CsaServerSlot* ReadySlot(const char* function, int slot);
// The entry for a session handle 0 to kCsaSessionHandles - 1; else null with
// 1004 marked (level 3).
CsaSessionEntry* SessionAt(const char* function, IpcHandle handle);

// Starts a request (or any client message) with `id` in the client's message
// and appends the items of `signature` (StrMsgFAppend). 0, or -1 with 1004
// marked when the message cannot take them.
int StartMessage(const char* function, int id, const char* signature, ...);
int StartMessageV(const char* function, int id, const char* signature, va_list items);

// Closes a connection that this client opened; a failing close marks nothing
// unless an error is pending anyway. IpcCloseConnection's result (so that it
// can close an IpcHandleGuard).
int CloseQuietly(IpcHandle handle);
// Closes the slot's connection and marks the slot unconnected.
void Disconnect(CsaServerSlot& slot);
// A reply that breaks the protocol: traces `what`, marks 1011 (level 2),
// disconnects the slot and returns -1.
int ReplyFault(CsaServerSlot& slot, const char* function, const char* what);

// Transport on a bare handle: no slot state changes. Send: 0 or -1 (1011).
// Receive: the code of the received message, now being parsed; -1 (1011) on
// a failed or closed connection, -2 for a packet that is no message. Each
// send and receive waits at most `timeout` seconds; a time-out is marked
// with ETIMEDOUT (CsaServerSilent).
int SendOn(IpcHandle handle, const char* function, int timeout = ReplyTimeout());
int ReceiveOn(IpcHandle handle, const char* function, int timeout = ReplyTimeout());
// `msg` as one packet, sent within `timeout` seconds: ipc_sendDataEx's result.
int SendMessageWithin(IpcHandle handle, StrMsg* msg, int timeout);

// Transport on a slot record: failures disconnect the slot; one that timed
// out also marks it silent until its next login.
int SlotSend(CsaServerSlot& slot, const char* function);
// The code of the received message, now being parsed, or -1.
int SlotReceive(CsaServerSlot& slot, const char* function, int timeout = ReplyTimeout());
// Disconnects the slot after a failed transfer, noting whether the server
// was silent (the pending error a time-out).
void GiveUp(CsaServerSlot& slot);
// Notes on the slot whether the pending error says its server was silent.
void NoteSilence(CsaServerSlot& slot);
// The packed error behind a MSG_RESULT being parsed: 0 or the server's code
// (marked); -1 (fault, slot disconnected) when the items are unusable.
int SlotUnpack(CsaServerSlot& slot, const char* function);

// Result of an exchange that ends with a MSG_RESULT.
enum class Outcome { kOk, kServerError, kFailed };
// SarAnswer on a slot record. After kOk and kServerError the items behind the
// result can be read with StrParseNextL(Msg()).
Outcome SlotAnswer(CsaServerSlot& slot, const char* function, int timeout = ReplyTimeout());
int SlotQuery(CsaServerSlot& slot, const char* function, char** reply, int expectedId);
int SlotSendbuf(CsaServerSlot& slot, const char* function, const void* bytes, int length, int raw);
int SlotReceivebuf(CsaServerSlot& slot, const char* function, char** buffer, int raw);

// MSG_PROTOCOL on a fresh connection: sends the client's offer, checks the
// answer and traces its protocol data. 0, or -1 (1011 or the server's error);
// the caller closes the connection on failure.
int Negotiate(IpcHandle handle, const char* function, const char* peer);

// Connects to host:port giving up after `timeout` seconds (non-blocking
// connect and poll; no signals). A new socket handle, or -1 with the IPC
// error marked.
IpcHandle ConnectWithin(const char* host, unsigned port, int timeout);

// A whole item read as a decimal number in [min, max]; false for null, an
// empty item, any other character or a value outside.
bool ItemToNumber(const char* item, long long min, long long max, long long* value);
// Copies `text` (null: "") into `buffer` of `size` bytes, cut to fit.
void CopyCut(char* buffer, std::size_t size, const char* text);
// The canonical name of a host (CmnExpandHostname), or the name itself when
// it does not resolve; "" for null. A failed lookup leaves no error behind.
std::string CanonicalHost(const char* host);

}  // namespace csa_detail
