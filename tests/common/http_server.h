// A minimal HTTP/1.0 server on 127.0.0.1 for tests: answers GET requests from a table of paths,
// one connection at a time, on a thread of its own. Stops at destruction.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace qx::testing {

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();

  // Serves `body` with `status` for `path`; other paths get 404.
  void Set(const std::string& path, const std::string& body, int status = 200);
  // "http://127.0.0.1:<port>"
  std::string BaseUrl() const;
  int RequestCount() const { return requests_.load(); }
  // The head (request line and header lines) of the last request received.
  std::string LastRequestHead() const;

 private:
  void Serve();

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  mutable std::mutex mutex_;
  std::string lastHead_;
  std::map<std::string, std::pair<int, std::string>> routes_;
  std::thread thread_;
};

}  // namespace qx::testing
