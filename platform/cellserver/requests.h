// The request port of the stand-in cell server: negotiation, login and every
// request the client makes, one conversation per connection.
#pragma once

#include <string>

#include "cellserver/link.h"
#include "cellserver/protocol.h"
#include "codec/message.h"

namespace tarn::cellserver {

class Server;

class RequestConversation {
 public:
  RequestConversation(Server& server, Link& link) : server_(server), link_(link) {}
  // Serves requests until the client closes, a time-out passes, the input
  // breaks the protocol or the server stops.
  void run();

 private:
  // False when the connection is to close.
  bool serve(const standin::Message& request);
  // Reads the bulk data behind a request; false (after answering) on failure.
  bool readBulk(int requestId, std::string& bytes);
  Reply dispatch(const RequestSpec& spec, const standin::Message& request, std::string bulk,
                 const ActiveFaults& faults);

  Reply login(const standin::Message& request);
  Reply getStored(const RequestSpec& spec, const standin::Message& request);
  Reply putStored(const RequestSpec& spec, const standin::Message& request, std::string bulk);
  Reply removeOrRename(const RequestSpec& spec, const standin::Message& request);
  Reply startSession(const standin::Message& request, std::string bulk, const ActiveFaults& faults);
  Reply attachSession(const RequestSpec& spec, const standin::Message& request,
                      const ActiveFaults& faults);
  Reply signalSession(const standin::Message& request);
  Reply query(const RequestSpec& spec, const standin::Message& request);
  Reply answer(const RequestSpec& spec, const standin::Message& request);
  Reply refuse(int code, int id, const std::string& why);

  Server& server_;
  Link& link_;
  bool loggedIn_ = false;
};

}  // namespace tarn::cellserver
