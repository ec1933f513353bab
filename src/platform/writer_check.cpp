#include "platform/writer_check.h"

#include <errno.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <utility>

#include "platform/fault_injection.h"
#include "platform/hresult_errno.h"

namespace qx {
namespace {

constexpr std::chrono::milliseconds kDefaultSettleInterval{2000};
std::atomic<int64_t> settle_interval_ms{kDefaultSettleInterval.count()};

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

std::chrono::milliseconds SettleInterval() {
  return std::chrono::milliseconds(settle_interval_ms.load());
}

void SetSettleInterval(std::chrono::milliseconds interval) {
  settle_interval_ms.store(interval.count() > 0 ? interval.count()
                                                : kDefaultSettleInterval.count());
}

void WriterCheck::LookAt(const std::string& folder) {
  finished_.clear();
  pendingFolder_ = folder;
}

void WriterCheck::Look() {
  const std::string folder = std::move(pendingFolder_);
  pendingFolder_.clear();
  std::vector<std::string> names;
  // A folder that cannot be listed now leaves every file undecided.
  if (Failed(ListRegularFiles(folder, &names))) return;
  const int64_t settledNs = std::chrono::nanoseconds(kSettledAge).count();
  std::vector<std::pair<std::string, FileStamp>> undecided;
  const int64_t now = NowNs();
  for (const auto& name : names) {
    const std::string path = JoinPath(folder, name);
    finished_.erase(path);
    if (ProbeWriters(path) != WriterState::kUnknown) continue;  // Movable asks the kernel again
    FileStamp stamp;
    if (Failed(StampFile(path, &stamp))) continue;  // not a regular file: stays undecided
    // A modification time in the future (a clock elsewhere) is young, not old.
    if (now - stamp.modifiedNs >= settledNs)
      finished_[path] = stamp;
    else
      undecided.emplace_back(path, stamp);
  }
  if (undecided.empty()) return;
  std::this_thread::sleep_for(ShortWait(SettleInterval()));
  for (const auto& [path, first] : undecided) {
    FileStamp second;
    if (Succeeded(StampFile(path, &second)) && second == first) finished_[path] = second;
  }
}

HRESULT WriterCheck::Movable(const std::string& path) {
  const HRESULT busy = HresultFromErrno(EBUSY);
  switch (ProbeWriters(path)) {
    case WriterState::kNone:
      return S_OK;
    case WriterState::kWriting:
      return busy;
    case WriterState::kUnknown:
      break;
  }
  if (!pendingFolder_.empty()) Look();
  FileStamp now;
  if (HRESULT hr = StampFile(path, &now); Failed(hr)) return hr;
  auto it = finished_.find(path);
  return it != finished_.end() && now == it->second ? S_OK : busy;
}

}  // namespace qx
