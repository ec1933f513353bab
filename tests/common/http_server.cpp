#include "common/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qx::testing {

HttpServer::HttpServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0)
    throw std::runtime_error("cannot listen on loopback");
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

HttpServer::~HttpServer() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

void HttpServer::Set(const std::string& path, const std::string& body, int status) {
  std::lock_guard lock(mutex_);
  routes_[path] = {status, body};
}

std::string HttpServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::string HttpServer::LastRequestHead() const {
  std::lock_guard lock(mutex_);
  return lastHead_;
}

void HttpServer::Serve() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      pollfd r{fd, POLLIN, 0};
      if (::poll(&r, 1, 2000) <= 0) break;
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    std::string path;
    auto sp1 = request.find(' ');
    auto sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
    if (sp2 != std::string::npos) path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    int status = 404;
    std::string body = "not found";
    {
      std::lock_guard lock(mutex_);
      lastHead_ = request.substr(0, request.find("\r\n\r\n"));
      auto it = routes_.find(path);
      if (it != routes_.end()) std::tie(status, body) = it->second;
    }
    ++requests_;
    std::string response = "HTTP/1.0 " + std::to_string(status) +
                           " X\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nContent-Type: application/xml\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < response.size()) {
      ssize_t n = ::write(fd, response.data() + sent, response.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::close(fd);
  }
}

}  // namespace qx::testing
