#include "net/software_update.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include <curl/curl.h>

#include "net/http_download.h"
#include "net/xml_rpc_request.h"
#include "platform/fault_injection.h"
#include "platform/module.h"
#include "support/messages.h"

extern char** environ;

namespace qx {
namespace {

// Platform tags the server expects with the query, as every installation sends them.
constexpr const char* kSystemTag = "win32";
constexpr const char* kProcessorTag = "i386";
constexpr long long kMaxSetupBytes = 256LL << 20;
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallSeconds = 120;

// Fetches `url` into `fd`: true only for an HTTP 200 whose whole body was written (as long as
// announced, when announced). No redirect is followed, so the address checked is the one used.
bool FetchComplete(const std::string& url, int fd) {
  if (FaultHit(FaultKind::kHttp)) return false;
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return false;
  CURL* c = curl.get();
  FdBodySink sink{fd, kMaxSetupBytes};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "qendix");
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxSetupBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBodyToFd);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  if (curl_easy_perform(c) != CURLE_OK || sink.failed) return false;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return false;
  curl_off_t announced = -1;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced >= 0 && announced != sink.written)
    return false;
  return true;
}

void WriteErrno(int fd) {
  int e = errno;
  ssize_t ignored = ::write(fd, &e, sizeof e);
  (void)ignored;
}

// Starts `path` in a session of its own, reparented away from this process (double fork), with
// standard input, output and error on /dev/null and no other descriptor of ours. True once the
// program image was loaded; a failed exec is reported back through a close-on-exec pipe. Only
// async-signal-safe calls happen after the fork: the host may run other threads.
bool StartDetached(const std::string& path) {
  std::vector<char> file(path.begin(), path.end());
  file.push_back('\0');
  char* argv[] = {file.data(), nullptr};
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) {
      WriteErrno(report[1]);
      ::_exit(127);
    }
    // Leaves 0-2 and the report pipe (close-on-exec) open.
    if (report[1] > 3) ::close_range(3, static_cast<unsigned>(report[1]) - 1, 0);
    ::close_range(static_cast<unsigned>(report[1]) + 1, ~0u, 0);
    ::execve(argv[0], argv, environ);
    WriteErrno(report[1]);
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  pid_t waited;
  do waited = ::waitpid(child, &status, 0);
  while (waited < 0 && errno == EINTR);
  int execError = 0;
  ssize_t n;
  do n = ::read(report[0], &execError, sizeof execError);
  while (n < 0 && errno == EINTR);
  ::close(report[0]);
  // A host that ignores SIGCHLD reaps the child itself (ECHILD): the pipe tells enough then.
  const bool forked = waited < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return forked && n == 0;
}

}  // namespace

bool QueryNewVersion(XmlRpcClient& client, std::string* updateUrl) {
  updateUrl->clear();
  const std::string body =
      MethodCallBody("qendix.querynewversion", {{kSystemTag}, {kProcessorTag}, {kOwnBuildNumber}});
  XmlReply reply;
  if (!client.Exchange(XmlRpcCall::kQueryNewVersion, body, &reply)) return false;
  const std::vector<std::string> values = reply.StructStrings();
  if (values.empty()) return false;
  // Compared as text, as the server's build numbers always were: "99" is newer than ours.
  if (std::string_view(kOwnBuildNumber).compare(values[0]) >= 0) return false;
  if (values.size() < 3) return false;
  *updateUrl = values[1];
  return true;
}

bool IsAcceptableSetupUrl(const std::string& url) {
  std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  char* scheme = nullptr;
  char* host = nullptr;
  bool ok = false;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    if (strcasecmp(scheme, "https") == 0) {
      ok = true;
    } else if (strcasecmp(scheme, "http") == 0) {
      in_addr address{};
      ok = strcasecmp(host, "localhost") == 0 ||
           (::inet_pton(AF_INET, host, &address) == 1 && (ntohl(address.s_addr) >> 24) == 127);
    }
  }
  curl_free(scheme);
  curl_free(host);
  return ok;
}

bool DownloadAndStartSetup(const std::string& url, const std::string& workDirectory) {
  FaultTagScope tag("update");
  if (workDirectory.empty() || !IsAcceptableSetupUrl(url)) return false;
  const std::string target = workDirectory + "/" + kSetupFileName;
  std::string temp = workDirectory + "/." + kSetupFileName + "-XXXXXX";
  int fd = sys::Mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool complete = ::fchmod(fd, 0700) == 0 && FetchComplete(url, fd) && sys::Fsync(fd) == 0;
  if (::close(fd) != 0) complete = false;
  if (!complete || sys::Rename(temp.c_str(), target.c_str()) != 0) {
    sys::Unlink(temp.c_str());
    return false;
  }
  return StartDetached(target);
}

UpdatePolicy DefaultUpdatePolicy() {
  return RunsFromBuildTree() ? UpdatePolicy::kAskAndStart : UpdatePolicy::kTellOnly;
}

void CheckForUpdate(XmlRpcClient* client, const std::string& workDirectory, UpdatePolicy policy,
                    const std::function<bool(const std::string&, const std::string&)>& ask,
                    const std::function<void(const std::string&)>& tell) {
  std::string url;
  if (!client || !QueryNewVersion(*client, &url) || url.empty()) return;
  if (policy == UpdatePolicy::kTellOnly) {
    // The address reaches the host's events and the log as it is: only a plain printable one
    // that we would fetch from ourselves is passed on.
    const bool printable = std::all_of(url.begin(), url.end(), [](char c) {
      return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
    });
    if (printable && url.size() <= kMaxUpdateUrlBytes && IsAcceptableSetupUrl(url)) tell(url);
    return;
  }
  // An address we would not fetch from is not worth the user's question.
  if (workDirectory.empty() || !IsAcceptableSetupUrl(url)) return;
  if (!ask(LoadMessageA(101), LoadMessageA(200))) return;
  DownloadAndStartSetup(url, workDirectory);
}

}  // namespace qx
