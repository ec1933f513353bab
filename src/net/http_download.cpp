#include "net/http_download.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include <curl/curl.h>

#include "platform/fault_injection.h"

namespace qx {
namespace {

void InitCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

size_t WriteBodyToFd(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<FdBodySink*>(user);
  const size_t total = size * count;
  if (sink->written + static_cast<long long>(total) > sink->maxBytes) {
    sink->failed = true;
    return 0;  // makes curl stop with a write error
  }
  size_t done = 0;
  while (done < total) {
    ssize_t n = sys::Write(sink->fd, data + done, total - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->failed = true;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  sink->written += static_cast<long long>(total);
  return total;
}

bool DownloadToFd(const std::string& url, int fd, const DownloadLimits& limits) {
  if (FaultHit(FaultKind::kHttp)) return false;
  InitCurl();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return false;
  FdBodySink sink{fd, limits.maxBytes};
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Pragma: no-cache");
  headers = curl_slist_append(headers, "Cache-Control: no-cache");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> header_guard(headers, curl_slist_free_all);
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "qendix");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // What came over https may not be handed over to a plain connection by a redirect.
  const bool secure = url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!limits.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, limits.caFile.c_str());
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, limits.totalTimeoutSeconds);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBodyToFd);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  CURLcode rc = curl_easy_perform(c);
  return rc == CURLE_OK && !sink.failed;
}

}  // namespace qx
