// DownloadWindow: while the Anonymizer and the Sender work, the component keeps the download page
// of its download server fresh: a thread of its own fetches the page (the path "/down" on the
// host from which the Trust Center directory is refreshed) when it starts and again every
// interval (120 seconds) while a step uses it, with caching off. Nothing is written to disk and
// every failure is ignored: the page only tells the download server that the practice is alive.
//
// One object per process (Instance()). It counts its users: 0 stopped; 1 thread running, idle;
// each step that uses it adds 1. The thread runs on after the steps are done, idle, until a
// forced Release (the component's final release) ends it promptly and waits for it. Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qx {

class DownloadWindow {
 public:
  static DownloadWindow& Instance();

  // Registers one user; the first starts the thread (the count is then 2: the thread and the
  // user).
  void Acquire();
  // Unregisters one user. With `force` also ends the thread and waits for it; the count is 0.
  // Must not be called with `force` on the window's own thread.
  void Release(bool force);

  int UseCount() const;
  // How many page fetches the thread has started since the process began.
  int FetchCount() const;

  // For tests: the pause between two fetches (default 120 s) and where the page address comes
  // from (default: the update URL of the module's Trust Center directory cache). An empty
  // address fetches nothing.
  void SetIntervalForTesting(std::chrono::milliseconds interval);
  void SetPageUrlSourceForTesting(std::function<std::string()> source);

  // The download page on the host of `updateUrl`: its scheme, host and port, then "/down". Empty
  // when `updateUrl` is not an http or https URL.
  static std::string PageUrlFor(const std::string& updateUrl);

 private:
  DownloadWindow() = default;
  void Loop();
  // Fetches the page and throws the body away; gives up at once when the thread is to end.
  void Fetch(const std::string& url);
  std::string PageUrl();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  int useCount_ = 0;
  std::atomic<bool> quit_{false};  // read by a running fetch without the lock
  int fetches_ = 0;
  std::thread thread_;
  std::chrono::milliseconds interval_{std::chrono::seconds(120)};
  std::function<std::string()> pageUrlSource_;
};

}  // namespace qx
