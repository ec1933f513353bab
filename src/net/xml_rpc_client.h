// The XML-RPC client of the Trust Center's input gate: opens a session (qendix.session.new),
// uploads one transfer document per call (qendix.inputgate.write) and closes the session
// (qendix.session.close); the version query rides on the same exchange (Exchange).
//
// Every exchange is one synchronous HTTP POST over libcurl, with one connection handle per client
// reused for every call, so the connection is kept alive. Bodies are UTF-8 with
// "Content-Type: text/xml"; HTTP basic authentication is sent with qendix.session.new only. HTTPS
// certificates are verified, only http and https are spoken, a POST is never redirected and a
// reply larger than kMaxReplyBytes fails the call. A connection must be made within 30 seconds, a
// transfer that moves no byte for 120 seconds is abandoned, and so is a reply that is not complete
// 120 seconds after the request was sent (a server that trickles its answer byte by byte cannot
// hold the job); Abort ends a running exchange from another thread.
//
// What the server or HTTP reports becomes events on `events` (origin moIGReceiver, class
// mcModule): a status other than 200, an XML-RPC fault, and the input gate's own events, which
// are relayed unchanged. Local failures (no connection, time-out, abort, unreadable file) only
// make the call return false.
//
// One thread uses a client (the Sender's worker); only Abort may be called from another thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "net/xml_rpc_reply.h"
#include "support/event_target.h"

struct curl_slist;

namespace qx {

// The calls of the Trust Center's interface. The call decides the URL (the endpoint, or the gate
// for a write), whether credentials are sent, how a bad status and a fault are reported and
// whether the reply is read at all.
enum class XmlRpcCall {
  kSessionNew,      // endpoint; credentials; "HTTP Error: " + status text; fault raised
  kInputGateWrite,  // gate URL; status text alone; fault raised
  kSessionClose,    // endpoint; status and reply not examined
  kQueryNewVersion  // endpoint; status text alone; fault quiet (no event)
};

class XmlRpcClient {
 public:
  static constexpr size_t kMaxReplyBytes = 4u << 20;

  // `events` receives the status, fault and gate events and must outlive the client;
  // `endpointUrl` is the Trust Center's XML-RPC URL from the directory.
  XmlRpcClient(EventTarget& events, std::string endpointUrl);
  ~XmlRpcClient();
  XmlRpcClient(const XmlRpcClient&) = delete;
  XmlRpcClient& operator=(const XmlRpcClient&) = delete;

  // qendix.session.new with `login` and `password` (in the body and as HTTP basic credentials).
  // True when the reply's struct names a session id (first string) and a gate URL (second)
  // that is http or https, and https when the endpoint is https. A reply with a session id
  // but no usable gate URL keeps the id (for the close) and gives false.
  bool OpenSession(const std::string& login, const std::string& password);

  // qendix.inputgate.write of the XML file at `path` (re-serialised as UTF-8; a file that is not
  // well-formed is never sent). True when the gate answered with an event list, which is relayed;
  // rejected() then tells whether it refused the document. False without traffic when no gate
  // URL is known.
  bool WriteDocument(const std::string& path);

  // qendix.session.close with the session id (empty when none was received). True when the
  // request was sent and answered, whatever the status; raises no event.
  bool CloseSession();

  // After a true WriteDocument: the gate reported an event of class mcModule at level mlError or
  // above, i.e. it received the document but refused it. Cleared when WriteDocument starts.
  bool rejected() const { return rejected_; }
  // Set by OpenSession; they stay after CloseSession.
  const std::string& sessionId() const { return sessionId_; }
  const std::string& gateUrl() const { return gateUrl_; }
  const std::string& endpointUrl() const { return endpointUrl_; }

  // One POST of `body` (UTF-8, sent as it is) for `call`, as every call above makes it, without
  // credentials (only OpenSession sends them); the version query is built on it.
  // False, with no event, when the request cannot be made or answered (no connection, time-out,
  // abort, reply too large); false with the status event when the status is not 200; false when
  // the reply is a fault (with the fault event unless the call is kQueryNewVersion). Otherwise
  // true and `*reply` (may be null) holds the parsed reply, which is empty when it is not XML.
  // kSessionClose is true once any status came back; its reply is not parsed.
  bool Exchange(XmlRpcCall call, const std::string& body, XmlReply* reply);

  // Ends a running exchange promptly (within about a second, when libcurl next reports progress)
  // and makes every later one fail at once without sending: the client is finished. Safe from
  // any thread.
  void Abort() { aborted_.store(true); }

  // Whether documents may go to `gateUrl` after a session opened at `endpointUrl`: an http or
  // https URL, and https when the endpoint is https.
  static bool IsAcceptableGateUrl(const std::string& endpointUrl, const std::string& gateUrl);

  // The connect and stall limits (30 s and 120 s; the stall limit also bounds the wait for the
  // reply); tests shorten them.
  void SetTimeoutsForTesting(std::chrono::milliseconds connect, std::chrono::milliseconds stall);
  // The same for every client made afterwards in this process (tests of the steps that make their
  // own clients); zero durations restore the defaults. Not for use while clients are being made.
  static void SetDefaultTimeoutsForTesting(std::chrono::milliseconds connect,
                                           std::chrono::milliseconds stall);

 private:
  // Exchange, with HTTP basic credentials when `user` and `password` are given.
  bool ExchangeWith(XmlRpcCall call, const std::string& body, const std::string* user,
                    const std::string* password, XmlReply* reply);
  // The transport: POST `body` to `url`. Fills the status, its reason phrase and the reply body;
  // false when no complete answer came.
  bool Post(const std::string& url, const std::string& body, const std::string* user,
            const std::string* password, long* status, std::string* statusText,
            std::string* replyBody);
  void RaiseError(int32_t code, std::optional<std::string> message);

  EventTarget& events_;
  std::string endpointUrl_;
  std::string sessionId_;
  std::string gateUrl_;
  bool rejected_ = false;
  void* curl_ = nullptr;  // the one CURL easy handle, reused for every call
  curl_slist* headers_ = nullptr;
  std::atomic<bool> aborted_{false};
  std::chrono::milliseconds connectTimeout_;
  std::chrono::milliseconds stallTimeout_;
};

}  // namespace qx
