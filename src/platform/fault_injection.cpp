#include "platform/fault_injection.h"

#include <execinfo.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace qx {
namespace fault_detail {
std::atomic<int> mode{kUnread};
}  // namespace fault_detail

namespace {

using fault_detail::kOff;
using fault_detail::kOn;
using fault_detail::kUnread;

constexpr const char* kKindNames[kFaultKinds] = {"open",   "read",  "write", "fsync", "rename",
                                                 "unlink", "mkdir", "alloc", "http"};

struct ErrnoName {
  const char* name;
  int value;
};
constexpr ErrnoName kErrnoNames[] = {{"EIO", EIO},
                                     {"ENOSPC", ENOSPC},
                                     {"EDQUOT", EDQUOT},
                                     {"EROFS", EROFS},
                                     {"EACCES", EACCES},
                                     {"EPERM", EPERM},
                                     {"ENOMEM", ENOMEM},
                                     {"EMFILE", EMFILE},
                                     {"ENFILE", ENFILE},
                                     {"EFBIG", EFBIG},
                                     {"EINTR", EINTR},
                                     {"EAGAIN", EAGAIN},
                                     {"ENOENT", ENOENT},
                                     {"EEXIST", EEXIST},
                                     {"EBUSY", EBUSY},
                                     {"EXDEV", EXDEV},
                                     {"ECONNREFUSED", ECONNREFUSED}};

// The armed plan. Written only while `mode` is kUnread (under the once flag) or by
// ArmFaultForTesting; read by the hooks after they saw kOn.
struct Plan {
  int kind = -1;       // -1: count only
  std::string within;  // only calls whose tags hold this text count towards `at`
  unsigned long at = 0;
  bool onward = false;
  int error = EIO;
  std::string log;
  bool trace = false;
};
Plan plan;
std::atomic<unsigned long> calls[kFaultKinds];
std::atomic<unsigned long> planCalls;  // the calls that count towards plan.at
std::once_flag readOnce;
thread_local int exemptDepth = 0;
constexpr int kMaxTags = 4;
thread_local const char* tags[kMaxTags];
thread_local int tagDepth = 0;

std::string TagText() {
  std::string text;
  for (int i = 0; i < tagDepth && i < kMaxTags; ++i) text += (i ? "/" : "") + std::string(tags[i]);
  return text.empty() ? "-" : text;
}

const char* ErrnoText(int error) {
  for (const ErrnoName& e : kErrnoNames)
    if (e.value == error) return e.name;
  return "E?";
}

// Parses "KIND[@TAGS]:K[+][:ERRNO]" into `out`; false when it is not of that form.
bool ParsePlan(std::string_view text, Plan* out) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view kind = text.substr(0, colon);
  if (const size_t at = kind.find('@'); at != std::string_view::npos) {
    out->within = std::string(kind.substr(at + 1));
    kind = kind.substr(0, at);
  }
  out->kind = -1;
  for (int i = 0; i < kFaultKinds; ++i)
    if (kind == kKindNames[i]) out->kind = i;
  if (out->kind < 0) return false;
  std::string_view rest = text.substr(colon + 1);
  const size_t second = rest.find(':');
  std::string_view count = rest.substr(0, second);
  out->onward = !count.empty() && count.back() == '+';
  if (out->onward) count.remove_suffix(1);
  if (count.empty() || count.size() > 9) return false;
  out->at = 0;
  for (char c : count) {
    if (c < '0' || c > '9') return false;
    out->at = out->at * 10 + static_cast<unsigned long>(c - '0');
  }
  if (out->at == 0) return false;
  out->error = out->kind == static_cast<int>(FaultKind::kAlloc)  ? ENOMEM
               : out->kind == static_cast<int>(FaultKind::kHttp) ? ECONNREFUSED
                                                                 : EIO;
  if (second != std::string_view::npos) {
    const std::string_view name = rest.substr(second + 1);
    bool known = false;
    for (const ErrnoName& e : kErrnoNames)
      if (name == e.name) {
        out->error = e.value;
        known = true;
      }
    if (!known) return false;
  }
  return true;
}

void AppendToLog(const std::string& line) {
  if (plan.log.empty()) return;
  // Direct system calls: the log is the switch's own and never counted.
  int fd = ::open(plan.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
  ::close(fd);
}

// Writes the number of calls of each kind to the log when the process ends.
struct CountsAtExit {
  ~CountsAtExit() {
    if (fault_detail::mode.load() != kOn) return;
    std::string lines;
    for (int i = 0; i < kFaultKinds; ++i)
      lines += std::string("calls ") + kKindNames[i] + " " + std::to_string(calls[i].load()) + "\n";
    AppendToLog(lines);
  }
};
CountsAtExit countsAtExit;

void ReadEnvironment() {
  const char* text = ::getenv("QENDIX_FAULT");
  const char* log = ::getenv("QENDIX_FAULT_LOG");
  Plan read;
  if (log && log[0] == '/') read.log = log;
  read.trace = !read.log.empty() && ::getenv("QENDIX_FAULT_TRACE");
  bool armed = !read.log.empty();
  if (text && text[0] && ParsePlan(text, &read)) armed = true;
  if (text && text[0] && read.kind < 0) {
    // A plan that is not understood must not pass as a clean run.
    std::fprintf(stderr, "QENDIX_FAULT not understood: %s\n", text);
    std::abort();
  }
  plan = std::move(read);
  fault_detail::mode.store(armed ? kOn : kOff);
}

}  // namespace

namespace fault_detail {

bool Hit(FaultKind kind, const std::source_location& where) {
  if (mode.load(std::memory_order_acquire) == kUnread) std::call_once(readOnce, ReadEnvironment);
  if (mode.load(std::memory_order_acquire) != kOn || exemptDepth > 0) return false;
  const int index = static_cast<int>(kind);
  calls[index].fetch_add(1);
  if (index != plan.kind) return false;
  if (!plan.within.empty() && TagText().find(plan.within) == std::string::npos) return false;
  const unsigned long n = planCalls.fetch_add(1) + 1;
  if (n < plan.at || (n > plan.at && !plan.onward)) return false;
  AppendToLog(std::string("hit ") + kKindNames[index] + " " + std::to_string(n) + " " +
              ErrnoText(plan.error) + " " + TagText() + " " + where.file_name() + ":" +
              std::to_string(where.line()) + " " + where.function_name() + "\n");
  if (plan.trace) {
    // The callers, for finding where a failure came from: "lib(+offset)" lines for addr2line.
    void* frames[12];
    const int n = ::backtrace(frames, 12);
    if (int fd = ::open(plan.log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC); fd >= 0) {
      ::backtrace_symbols_fd(frames + 1, n - 1, fd);
      ::close(fd);
    }
  }
  errno = plan.error;
  return true;
}

}  // namespace fault_detail

bool FaultSwitchArmed() {
#ifdef QENDIX_FAULT_INJECTION
  if (fault_detail::mode.load() == kUnread) std::call_once(readOnce, ReadEnvironment);
  return fault_detail::mode.load() == kOn;
#else
  return false;
#endif
}

std::chrono::milliseconds ShortWait(std::chrono::milliseconds normal) {
  return FaultSwitchArmed() ? std::chrono::milliseconds(5) : normal;
}

bool ArmFaultForTesting(const char* text) {
  std::call_once(readOnce, [] {});
  Plan armed;
  if (text && text[0] && !ParsePlan(text, &armed)) return false;
  plan = std::move(armed);
  for (auto& count : calls) count.store(0);
  planCalls.store(0);
  fault_detail::mode.store(text && text[0] ? kOn : kOff);
  return true;
}

unsigned long FaultCallsForTesting(FaultKind kind) {
  return calls[static_cast<int>(kind)].load();
}

FaultTagScope::FaultTagScope(const char* tag) {
  if (tagDepth < kMaxTags) tags[tagDepth] = tag;
  ++tagDepth;
}
FaultTagScope::~FaultTagScope() {
  --tagDepth;
}

FaultExemptScope::FaultExemptScope() {
  ++exemptDepth;
}
FaultExemptScope::~FaultExemptScope() {
  --exemptDepth;
}

}  // namespace qx
