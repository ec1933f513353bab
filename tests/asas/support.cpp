#include "support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace asas::testing {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/asas-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Recipient MakeRecipient(const TempDir& dir, const std::string& name, bool ec) {
  Recipient r{name, dir / (name + ".key"), dir / (name + ".pem")};
  std::string algorithm = ec ? "-newkey ec -pkeyopt ec_paramgen_curve:P-256" : "-newkey rsa:2048";
  CommandResult made =
      RunCommand("openssl req -x509 " + algorithm + " -nodes -keyout " + Quote(r.key_file) +
                 " -out " + Quote(r.cert_file) + " -subj /CN=" + name + " -days 30");
  if (made.exit_code != 0) throw std::runtime_error("openssl req failed: " + made.output);
  return r;
}

std::string OpenSslDecrypt(const std::string& envelope_file, const Recipient& r, bool* ok) {
  std::string out = envelope_file + "." + r.name + ".out";
  CommandResult result = RunCommand("openssl cms -decrypt -binary -in " + Quote(envelope_file) +
                                    " -inkey " + Quote(r.key_file) + " -out " + Quote(out));
  *ok = result.exit_code == 0;
  return *ok ? ReadFile(out) : result.output;
}

qx::HRESULT RecordingSink::AsasStatus(int16_t level, const qx::BStr& text) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back({std::this_thread::get_id(), level, text.value_or("")});
  }
  arrived_.notify_all();
  return qx::S_OK;
}

std::vector<StatusEvent> RecordingSink::WaitFor(size_t count) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
  return events_;
}

std::vector<StatusEvent> RecordingSink::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

uint32_t Connect(qx::IAsasClient* client, qx::IAsasEvents* sink) {
  qx::RefPtr<qx::IConnectionPointContainer> container =
      qx::RefPtr<qx::IAsasClient>::Share(client).As<qx::IConnectionPointContainer>();
  qx::RefPtr<qx::IConnectionPoint> point;
  if (!container || qx::Failed(container->FindConnectionPoint(qx::IAsasEvents::kIid, point.Put())))
    return 0;
  uint32_t cookie = 0;
  return qx::Succeeded(point->Advise(sink, &cookie)) ? cookie : 0;
}

void Disconnect(qx::IAsasClient* client, uint32_t cookie) {
  qx::RefPtr<qx::IConnectionPointContainer> container =
      qx::RefPtr<qx::IAsasClient>::Share(client).As<qx::IConnectionPointContainer>();
  qx::RefPtr<qx::IConnectionPoint> point;
  if (container &&
      qx::Succeeded(container->FindConnectionPoint(qx::IAsasEvents::kIid, point.Put())))
    point->Unadvise(cookie);
}

bool AnyTextContains(const std::vector<StatusEvent>& events, const std::string& part) {
  for (const auto& e : events)
    if (e.text.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace asas::testing
