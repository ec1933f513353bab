#include "fault_injection.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

namespace asas {
namespace fault_detail {
std::atomic<int> mode{0};
}  // namespace fault_detail

namespace {

constexpr int kKinds = 7;
constexpr const char* kKindNames[kKinds] = {"open",   "read",   "write", "fsync",
                                            "rename", "unlink", "mkdir"};
struct ErrnoName {
  const char* name;
  int value;
};
constexpr ErrnoName kErrnoNames[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EROFS", EROFS},
                                     {"EACCES", EACCES}, {"ENOMEM", ENOMEM}, {"EINTR", EINTR}};

int planKind = -1;
unsigned long planAt = 0;
bool planOnward = false;
int planError = EIO;
std::string logPath;
std::atomic<unsigned long> calls[kKinds];
std::once_flag readOnce;

bool Parse(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  for (int i = 0; i < kKinds; ++i)
    if (text.substr(0, colon) == kKindNames[i]) planKind = i;
  std::string_view rest = text.substr(colon + 1);
  const size_t second = rest.find(':');
  std::string_view count = rest.substr(0, second);
  planOnward = !count.empty() && count.back() == '+';
  if (planOnward) count.remove_suffix(1);
  if (count.empty() || count.size() > 9) return false;
  for (char c : count) {
    if (c < '0' || c > '9') return false;
    planAt = planAt * 10 + static_cast<unsigned long>(c - '0');
  }
  if (second != std::string_view::npos) {
    planError = 0;
    for (const ErrnoName& e : kErrnoNames)
      if (rest.substr(second + 1) == e.name) planError = e.value;
  }
  return planKind >= 0 && planAt > 0 && planError != 0;
}

void Append(const std::string& line) {
  if (logPath.empty()) return;
  int fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
  ::close(fd);
}

struct CountsAtExit {
  ~CountsAtExit() {
    if (fault_detail::mode.load() != 2) return;
    std::string lines;
    for (int i = 0; i < kKinds; ++i)
      lines +=
          std::string("calls asas-") + kKindNames[i] + " " + std::to_string(calls[i].load()) + "\n";
    Append(lines);
  }
} countsAtExit;

void ReadEnvironment() {
  const char* text = std::getenv("ASAS_FAULT");
  const char* log = std::getenv("ASAS_FAULT_LOG");
  if (log && log[0] == '/') logPath = log;
  if (text && text[0] && !Parse(text)) {
    std::fprintf(stderr, "ASAS_FAULT not understood: %s\n", text);
    std::abort();
  }
  fault_detail::mode.store(planKind >= 0 || !logPath.empty() ? 2 : 1);
}

const char* ErrnoText(int error) {
  for (const ErrnoName& e : kErrnoNames)
    if (e.value == error) return e.name;
  return "E?";
}

}  // namespace

bool fault_detail::Hit(FaultKind kind, const std::source_location& where) {
  if (mode.load() == 0) std::call_once(readOnce, ReadEnvironment);
  if (mode.load() != 2) return false;
  const int index = static_cast<int>(kind);
  const unsigned long n = calls[index].fetch_add(1) + 1;
  if (index != planKind || n < planAt || (n > planAt && !planOnward)) return false;
  Append(std::string("hit asas-") + kKindNames[index] + " " + std::to_string(n) + " " +
         ErrnoText(planError) + " asas " + where.file_name() + ":" + std::to_string(where.line()) +
         " " + where.function_name() + "\n");
  errno = planError;
  return true;
}

}  // namespace asas
