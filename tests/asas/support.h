// Helpers for the security client's tests: a private home per test, files, commands, Trust
// Center keys made with the openssl command, and an event sink that records what it receives.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_object.h"
#include "home.h"
#include "qendix/asas.h"

namespace asas::testing {

// A temporary folder, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);

struct CommandResult {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};
// Runs a shell command line.
CommandResult RunCommand(const std::string& command);
// Single-quotes `text` for the shell.
std::string Quote(const std::string& text);

// A Trust Center recipient made with the openssl command: key and self-signed certificate (PEM).
struct Recipient {
  std::string name;
  std::string key_file;
  std::string cert_file;
};
Recipient MakeRecipient(const TempDir& dir, const std::string& name, bool ec);

// Decrypts an envelope file with the openssl command; the body, or empty with `ok` false.
std::string OpenSslDecrypt(const std::string& envelope_file, const Recipient& r, bool* ok);

struct StatusEvent {
  std::thread::id thread;
  int16_t level;
  std::string text;
};

// An IAsasEvents sink that records every status with the thread it arrived on.
class RecordingSink final : public ComObject<qx::IAsasEvents> {
 public:
  qx::HRESULT AsasStatus(int16_t level, const qx::BStr& text) override;
  // Waits up to 10 seconds until `count` events have arrived; returns them.
  std::vector<StatusEvent> WaitFor(size_t count);
  std::vector<StatusEvent> Events();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<StatusEvent> events_;
};

// Connects `sink` to `client`'s event point; returns the cookie (0 on failure).
uint32_t Connect(qx::IAsasClient* client, qx::IAsasEvents* sink);
void Disconnect(qx::IAsasClient* client, uint32_t cookie);

// Whether any recorded text contains `part`.
bool AnyTextContains(const std::vector<StatusEvent>& events, const std::string& part);

}  // namespace asas::testing
