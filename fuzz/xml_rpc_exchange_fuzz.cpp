// Fuzzes the Trust Center client with every kind of reply, served over HTTP by a server on
// 127.0.0.1 in this process. The input holds up to four replies separated by NUL bytes: to the
// session's opening, to the upload of a document, to the version query and to the session's
// close. A reply may start with a status line "NNN reason" (200 to 599; CR dropped) and an LF;
// else it is answered with 200. Checks: a bad status gives exactly its one error event; a fault
// gives exactly its one event (none for the version query); a session opens only with an http or
// https gate; an upload relays the gate's events unchanged and is refused exactly when one of
// them is a module error; events are never raised otherwise and their texts are valid UTF-8.
#include <arpa/inet.h>
#include <libxml/xmlstring.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/software_update.h"
#include "net/xml_rpc_client.h"
#include "net/xml_rpc_reply.h"
#include "scratch.h"

namespace {

struct Reply {
  long status = 200;
  std::string reason = "OK";
  std::string body;
};

// Answers every request with the reply set last, one request per connection.
class ReplyServer {
 public:
  ReplyServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, 16) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
      abort();
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/RPC2";
    std::thread([this] { Serve(); }).detach();
  }
  const std::string& url() const { return url_; }
  void Set(const Reply& reply) {
    std::lock_guard lock(mutex_);
    response_ = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason +
                "\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
                std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
  }

 private:
  void Serve() {
    for (;;) {
      const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string request;
      char buffer[16384];
      size_t head = std::string::npos, need = 0;
      while (head == std::string::npos || request.size() < need) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
        if (head == std::string::npos && (head = request.find("\r\n\r\n")) != std::string::npos) {
          const size_t at = request.find("Content-Length: ");
          need = head + 4 + (at < head ? strtoul(request.c_str() + at + 16, nullptr, 10) : 0);
        }
      }
      std::string response;
      {
        std::lock_guard lock(mutex_);
        response = response_;
      }
      for (size_t sent = 0; sent < response.size();) {
        const ssize_t n = send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      close(fd);
    }
  }

  int fd_ = -1;
  std::string url_;
  std::mutex mutex_;
  std::string response_;
};

struct Event {
  qx::tagMsgLevel level;
  qx::tagMsgClass mclass;
  int32_t code;
  qx::BStr fileName, message;
};

class Events final : public qx::EventTarget {
 public:
  void RaiseEvent(qx::tagMsgLevel level, qx::tagMsgClass mclass, qx::tagMsgOrigin, int32_t code,
                  const qx::BStr& fileName, const qx::BStr& message) override {
    for (const qx::BStr& text : {fileName, message})
      if (text && (text->find('\0') != std::string::npos ||
                   !xmlCheckUTF8(reinterpret_cast<const xmlChar*>(text->c_str()))))
        abort();
    list.push_back({level, mclass, code, fileName, message});
  }
  std::vector<Event> list;
};

Reply ParseReply(std::string_view part) {
  Reply reply;
  const size_t end = part.find('\n');
  if (end != std::string_view::npos && part.size() >= 4 && part[0] >= '2' && part[0] <= '5' &&
      isdigit(static_cast<unsigned char>(part[1])) &&
      isdigit(static_cast<unsigned char>(part[2])) && part[3] == ' ') {
    reply.status = strtol(std::string(part.substr(0, 3)).c_str(), nullptr, 10);
    reply.reason = part.substr(4, end - 4);
    std::erase(reply.reason, '\r');  // a CR would end the status line early
    part.remove_prefix(end + 1);
  }
  reply.body = part;
  return reply;
}

// The events one exchange must have raised, when its reply is `reply`: the status error, or the
// fault (unless `quietFault`). Returns false when the exchange could not have succeeded.
bool CheckExchange(const Reply& reply, const std::vector<Event>& events, bool quietFault,
                   size_t* relayed) {
  *relayed = 0;
  if (reply.status != 200) {
    if (events.size() != 1 || events[0].code != reply.status || events[0].level != qx::mlError)
      abort();
    return false;
  }
  const std::optional<qx::XmlRpcFault> fault = qx::XmlReply::Parse(reply.body).Fault();
  if (fault) {
    if (events.size() != (quietFault ? 0u : 1u)) abort();
    if (!quietFault && (events[0].code != fault->code || events[0].message != fault->message))
      abort();
    return false;
  }
  *relayed = events.size();
  return true;
}

bool IsHttpUrl(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 ||
         strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ReplyServer server;
  static const std::string document =
      fuzz::WriteScratch("transfer.xml", "<?xml version=\"1.0\"?><t>1</t>");
  std::vector<Reply> replies;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; replies.size() < 4 && start <= input.size();) {
    const size_t end = std::min(input.find('\0', start), input.size());
    replies.push_back(ParseReply(input.substr(start, end - start)));
    start = end + 1;
  }
  replies.resize(4);
  Events events;
  size_t relayed = 0;

  // The opening of a session, with whatever gate the reply names.
  {
    qx::XmlRpcClient client(events, server.url());
    server.Set(replies[0]);
    const bool opened = client.OpenSession("login", "password");
    const bool answered = CheckExchange(replies[0], events.list, false, &relayed);
    if (relayed != 0 || (opened && (!answered || !IsHttpUrl(client.gateUrl())))) abort();
  }

  // An upload through a session opened at this server's gate.
  qx::XmlRpcClient client(events, server.url());
  server.Set({200, "OK",
              "<methodResponse><params><param><value><struct>"
              "<member><name>id</name><value><string>S1</string></value></member>"
              "<member><name>gate</name><value><string>" +
                  server.url() +
                  "</string></value></member></struct></value></param></params>"
                  "</methodResponse>"});
  if (!client.OpenSession("login", "password")) abort();
  events.list.clear();
  server.Set(replies[1]);
  const bool written = client.WriteDocument(document);
  const bool answered = CheckExchange(replies[1], events.list, false, &relayed);
  const auto gate = qx::XmlReply::Parse(replies[1].body).EventList();
  if (written != (answered && gate.has_value())) abort();
  if (written) {
    if (relayed != gate->size()) abort();
    bool refused = false;
    for (size_t i = 0; i < relayed; ++i) {
      const Event& e = events.list[i];
      const qx::GateEvent& g = (*gate)[i];
      if (e.level != g.level || e.mclass != g.mclass || e.code != g.code ||
          e.fileName != g.fileName || e.message != g.message)
        abort();
      refused = refused || (g.mclass == qx::mcModule && g.level >= qx::mlError);
    }
    if (client.rejected() != refused) abort();
  } else if (relayed != 0 || client.rejected()) {
    abort();
  }

  // The version query and the close.
  events.list.clear();
  server.Set(replies[2]);
  std::string updateUrl;
  const bool newer = qx::QueryNewVersion(client, &updateUrl);
  if (CheckExchange(replies[2], events.list, true, &relayed) ? relayed != 0 : newer) abort();
  events.list.clear();
  server.Set(replies[3]);
  if (!client.CloseSession() || !events.list.empty()) abort();
  return 0;
}
