// The restore side of the data tree: which backup session holds an item,
// and the image of a record in its session, from the catalogue.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bar2/bar2.h"
#include "barutil/queryrec.h"
#include "kestrel/agent.h"
#include "kestrel/datatree.h"

// Gives every database and table-space item without a session the newest
// session (by time) whose stored tree holds the item's whole entry; with
// `notAfter` (seconds since the epoch), the newest whose images are none
// later than it. Items of which no backup is found keep no session.
void FindLastSessions(const char* host, const char* instance, BarContext* handle, AgentItems* items,
                      const std::int64_t* notAfter = nullptr);
// The sessions FindLastSessions chooses among for the item, newest first.
std::vector<std::string> FindSessions(const char* host, const char* instance, BarContext* handle,
                                      const AgentItem& item, const std::int64_t* notAfter);
// Sets the timestamp and type of each record's image in its session. 0, or
// -1 when some record has no session or no image in it.
int FindSessionImages(const char* host, const char* instance, BarContext* handle, DataTree* tree);

// Object order: byte-wise by the mount-point text, ascending.
bool CompareByObjectName(const VEK_Object& a, const VEK_Object& b);

// The agent's session-id form "YYYY/MM/DD NNNN" of a catalogue backup id
// "YYYY/MM/DD-N"; other texts unchanged.
std::string AgentSessionId(std::string_view backupId);
