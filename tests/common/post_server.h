// A small HTTP/1.1 server on 127.0.0.1 for tests of POST clients: keeps connections alive,
// records every request with its body, and answers through a handler the test sets (on the
// server's own thread). A reply may also be withheld: the request is read and never answered.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::testing {

struct PostRequest {
  std::string method;
  std::string target;
  std::string head;  // request line and header lines
  std::string body;
  int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
  // The value of header `name` (case-insensitive), empty when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct PostReply {
  int status = 200;
  std::string reason = "OK";
  std::string body;
  bool answer = true;  // false: never answer, keep the connection open
};

class PostServer {
 public:
  using Handler = std::function<PostReply(const PostRequest&)>;
  PostServer();  // answers 200 with an empty body until a handler is set
  ~PostServer();
  PostServer(const PostServer&) = delete;
  PostServer& operator=(const PostServer&) = delete;

  void SetHandler(Handler handler);
  std::string BaseUrl() const;  // "http://127.0.0.1:<port>"
  std::vector<PostRequest> Requests() const;
  int Connections() const { return connections_.load(); }

 private:
  void Serve();

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  Handler handler_;
  std::vector<PostRequest> requests_;
  std::thread thread_;
};

}  // namespace qx::testing
