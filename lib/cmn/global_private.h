// Global options: the parsed options reply and the dispatchers over it, shared
// by the option table, the media tables and the public readers.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace global_detail {

// The name-value pairs of an options reply, read once. Values point into the
// reply text, which must outlive the record.
class OptReply {
 public:
  explicit OptReply(const char* reply);
  OptReply(const OptReply&) = delete;
  OptReply& operator=(const OptReply&) = delete;

  // False when the text is no complete message with code 120.
  bool valid() const { return valid_; }
  // Value of the last pair with that name (case ignored), or null.
  const char* find(const char* name) const;

 private:
  bool valid_ = false;
  std::unordered_map<std::string, const char*> values_;
};

// Reads "0x%X" or else "%d" from an option value; false when neither reads.
bool OptReadInt(const char* text, int* value);

// The dispatchers of the public header, over a parsed reply.
int DispatchInt(const OptReply& reply, const char* name, int* global, int defaultValue);
int DispatchIntRange(const OptReply& reply, const char* name, int* global, int defaultValue,
                     int min, int max, bool hidden);
int DispatchMin(const OptReply& reply, const char* name, int* global, int defaultSeconds);
int DispatchStr(const OptReply& reply, const char* name, char* global, std::size_t size,
                const char* defaultText, bool quoted);

// Identity of the process used by option defaults: the cell server's host
// name, "user@host" of the effective user, and the cell's inet port.
std::string CellServerName();
std::string SenderAddress();
int InetPort();

// The media-class and device-policy options over a parsed reply.
int DispMediaClasses(const OptReply& reply);
int DispDevicePolicies(const OptReply& reply);

}  // namespace global_detail
