#include "common/post_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qx::testing {
namespace {

struct Connection {
  int fd;
  int number;
  std::string buffer;
  bool silent = false;  // a withheld reply: nothing more is read or written
};

size_t HeaderPos(const std::string& head, const std::string& name) {
  for (size_t pos = head.find("\r\n"); pos != std::string::npos; pos = head.find("\r\n", pos + 2)) {
    size_t start = pos + 2;
    if (head.size() >= start + name.size() + 1 &&
        strncasecmp(head.c_str() + start, name.c_str(), name.size()) == 0 &&
        head[start + name.size()] == ':')
      return start + name.size() + 1;
  }
  return std::string::npos;
}

void SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

std::string PostRequest::Header(const std::string& name) const {
  size_t pos = HeaderPos(head, name);
  if (pos == std::string::npos) return {};
  size_t end = head.find("\r\n", pos);
  std::string value = head.substr(pos, end == std::string::npos ? end : end - pos);
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  return value;
}

bool PostRequest::HasHeader(const std::string& name) const {
  return HeaderPos(head, name) != std::string::npos;
}

PostServer::PostServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0)
    throw std::runtime_error("cannot listen on loopback");
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

PostServer::~PostServer() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

void PostServer::SetHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::string PostServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<PostRequest> PostServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void PostServer::Serve() {
  std::vector<Connection> open;
  while (!stop_) {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
    for (const Connection& c : open)
      fds.push_back({c.fd, static_cast<short>(c.silent ? 0 : POLLIN), 0});
    if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) open.push_back({fd, ++connections_, {}});
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      Connection& c = open[i - 1];
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      ssize_t n = ::read(c.fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(c.fd);
        c.fd = -1;
        continue;
      }
      c.buffer.append(buffer, static_cast<size_t>(n));
      for (;;) {
        size_t end = c.buffer.find("\r\n\r\n");
        if (c.silent || end == std::string::npos) break;
        PostRequest request;
        request.head = c.buffer.substr(0, end);
        size_t length = std::stoul("0" + request.Header("Content-Length"));
        if (c.buffer.size() < end + 4 + length) break;
        request.body = c.buffer.substr(end + 4, length);
        c.buffer.erase(0, end + 4 + length);
        size_t sp1 = request.head.find(' ');
        size_t sp2 = request.head.find(' ', sp1 + 1);
        request.method = request.head.substr(0, sp1);
        request.target = request.head.substr(sp1 + 1, sp2 - sp1 - 1);
        request.connection = c.number;
        Handler handler;
        {
          std::lock_guard lock(mutex_);
          requests_.push_back(request);
          handler = handler_;
        }
        PostReply reply = handler ? handler(request) : PostReply{};
        if (!reply.answer) {
          c.silent = true;
          break;
        }
        SendAll(c.fd, "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason +
                          "\r\nContent-Type: text/xml\r\nContent-Length: " +
                          std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body);
      }
    }
    std::erase_if(open, [](const Connection& c) { return c.fd < 0; });
  }
  for (const Connection& c : open) ::close(c.fd);
}

}  // namespace qx::testing
