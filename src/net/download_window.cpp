#include "net/download_window.h"

#include <curl/curl.h>

#include <memory>

#include "net/center_directory.h"
#include "platform/call_guard.h"
#include "platform/fault_injection.h"

namespace qx {
namespace {

// The page is small; anything beyond this is not read.
constexpr size_t kMaxPageBytes = 1 << 20;

struct FetchState {
  const std::atomic<bool>* quit;
  size_t received = 0;
};

size_t DiscardBody(char*, size_t size, size_t count, void* user) {
  auto* state = static_cast<FetchState*>(user);
  state->received += size * count;
  return state->received > kMaxPageBytes ? 0 : size * count;
}

// Ends a running fetch as soon as the thread is asked to end.
int AbortWhenQuitting(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<FetchState*>(user)->quit->load() ? 1 : 0;
}

}  // namespace

DownloadWindow& DownloadWindow::Instance() {
  static DownloadWindow* window = new DownloadWindow;  // lives for the process
  return *window;
}

void DownloadWindow::Acquire() {
  std::lock_guard lock(mutex_);
  if (useCount_++ != 0) return;
  useCount_ = 2;
  // Released below zero by unbalanced calls while the thread still runs: keep that thread.
  if (thread_.joinable()) return;
  quit_ = false;
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::exception&) {
    // Without a thread the page is simply not fetched; the count stays as if it ran.
  }
}

void DownloadWindow::Release(bool force) {
  std::thread ending;
  {
    std::lock_guard lock(mutex_);
    if (useCount_ > 0) --useCount_;
    if (!force) return;
    useCount_ = 0;
    quit_ = true;
    ending = std::move(thread_);
  }
  wake_.notify_all();
  if (ending.joinable()) ending.join();
}

int DownloadWindow::UseCount() const {
  std::lock_guard lock(mutex_);
  return useCount_;
}

int DownloadWindow::FetchCount() const {
  std::lock_guard lock(mutex_);
  return fetches_;
}

void DownloadWindow::SetIntervalForTesting(std::chrono::milliseconds interval) {
  std::lock_guard lock(mutex_);
  interval_ = interval;
}

void DownloadWindow::SetPageUrlSourceForTesting(std::function<std::string()> source) {
  std::lock_guard lock(mutex_);
  pageUrlSource_ = std::move(source);
}

std::string DownloadWindow::PageUrlFor(const std::string& updateUrl) {
  std::unique_ptr<CURLU, void (*)(CURLU*)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, updateUrl.c_str(), 0) != CURLUE_OK)
    return std::string();
  char* scheme = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return std::string();
  const std::string s = scheme;
  curl_free(scheme);
  if (s != "http" && s != "https") return std::string();
  // Keep scheme, host and port; everything else is the download page's own.
  if (curl_url_set(url.get(), CURLUPART_PATH, "/down", 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_QUERY, nullptr, 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK)
    return std::string();
  char* page = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &page, 0) != CURLUE_OK) return std::string();
  std::string result = page;
  curl_free(page);
  return result;
}

std::string DownloadWindow::PageUrl() {
  std::function<std::string()> source;
  {
    std::lock_guard lock(mutex_);
    source = pageUrlSource_;
  }
  if (source) return source();
  CenterDirectory directory;
  return directory.LoadCache() ? PageUrlFor(directory.updateUrl()) : std::string();
}

void DownloadWindow::Loop() {
  // The page is fetched beside the job at its own pace and touches no invoice: its calls are
  // left out of injected failures, whose count would otherwise depend on timing.
  FaultExemptScope exempt;
  // No exception may end the thread (and with it the process): a failed fetch is ignored.
  GuardedCall([this] {
    bool first = true;
    std::unique_lock lock(mutex_);
    while (!quit_) {
      // The page is loaded when the window starts, then at every interval while a step uses it.
      if (first || useCount_ > 1) {
        ++fetches_;
        lock.unlock();
        GuardedCall([this] {
          std::string url = PageUrl();
          if (!url.empty()) Fetch(url);
          return S_OK;
        });
        lock.lock();
      }
      first = false;
      wake_.wait_for(lock, interval_, [this] { return quit_.load(); });
    }
    return S_OK;
  });
}

void DownloadWindow::Fetch(const std::string& url) {
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return;
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Pragma: no-cache");
  headers = curl_slist_append(headers, "Cache-Control: no-cache");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerGuard(headers, curl_slist_free_all);
  FetchState state{&quit_};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "qendix");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DiscardBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, AbortWhenQuitting);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &state);
  curl_easy_perform(c);  // the outcome does not matter
}

}  // namespace qx
