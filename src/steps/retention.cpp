#include "steps/retention.h"

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/file_system.h"
#include "platform/flat_folder.h"
#include "platform/hresult_errno.h"
#include "platform/last_error.h"
#include "support/messages.h"

namespace qx {
namespace {

constexpr std::string_view kLogSuffix = ".log";

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool Digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int Number(std::string_view s) {
  int n = 0;
  for (char c : s) n = n * 10 + (c - '0');
  return n;
}

void Report(EventTarget& events, tagMsgOrigin origin, tagMsgLevel level, int32_t code,
            const std::string& what, const std::string& text) {
  events.RaiseEvent(level, mcModule, origin, code, what, text);
}

// An expired entry that stays: the warning, then its cause.
void ReportKept(EventTarget& events, tagMsgOrigin origin, const std::string& what, HRESULT hr) {
  Report(events, origin, mlWarning, kRetentionKeptCode, what, LoadMessage(1131));
  if (int error = ErrnoFromHresult(hr); error != 0)
    events.RaiseEvent(mlError, mcSystem, origin, error, what, SystemErrorText(error));
}

bool Expired(const RetentionScope& scope, std::string_view day) {
  if (day == scope.session) return false;
  std::optional<int64_t> number = DayNumberOfName(day);
  return number && scope.today - *number > scope.keepDays;
}

// The day folders of "err" or "archive".
void RemoveExpiredFolders(const RetentionScope& scope, const std::string& folderName,
                          EventTarget& events, tagMsgOrigin origin) {
  const std::string folder = JoinPath(scope.workDirectory, folderName);
  std::vector<std::string> names;
  // A missing folder holds nothing; a link or a file in its place is not looked into.
  if (Failed(ListFolderNames(folder, &names))) return;
  for (const auto& name : names) {
    if (!Expired(scope, name)) continue;
    const std::string what = folderName + "/" + name;
    int removed = 0;
    HRESULT hr = RemoveFlatFolder(folder, name, &removed);
    if (Succeeded(hr)) {
      Report(events, origin, mlInfo, kRetentionRemovedCode, what,
             FormatEventText(LoadMessage(1130), removed));
    } else if (hr != HresultFromErrno(ENOTDIR)) {  // a file of a day's name is no day folder
      ReportKept(events, origin, what, hr == HresultFromErrno(ENOTEMPTY) ? S_OK : hr);
    }
  }
}

void RemoveExpiredLogs(const RetentionScope& scope, EventTarget& events, tagMsgOrigin origin) {
  const std::string folder = JoinPath(scope.workDirectory, "logs");
  std::vector<std::string> names;
  if (Failed(ListFolderNames(folder, &names))) return;
  for (const auto& name : names) {
    std::string_view view = name;
    if (view.size() <= kLogSuffix.size() || !view.ends_with(kLogSuffix)) continue;
    if (!Expired(scope, view.substr(0, view.size() - kLogSuffix.size()))) continue;
    const std::string what = "logs/" + name;
    HRESULT hr = RemoveRegularFileIn(folder, name);
    if (Succeeded(hr))
      Report(events, origin, mlInfo, kRetentionRemovedCode, what,
             FormatEventText(LoadMessage(1130), 1));
    else  // a folder or device of a log's name: the warning alone says it
      ReportKept(events, origin, what, hr == HresultFromErrno(EINVAL) ? S_OK : hr);
  }
}

}  // namespace

std::optional<int64_t> DayNumberOfName(std::string_view name) {
  if (name.size() != 10 || name[4] != '-' || name[7] != '-') return std::nullopt;
  std::string_view y = name.substr(0, 4), m = name.substr(5, 2), d = name.substr(8, 2);
  if (!Digits(y) || !Digits(m) || !Digits(d)) return std::nullopt;
  const int year = Number(y), month = Number(m), day = Number(d);
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return std::nullopt;
  if (day > kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0)) return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
}

int64_t TodayDayNumber() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                       static_cast<unsigned>(local.tm_mday));
}

void RemoveExpiredDays(const RetentionScope& scope, EventTarget& events, tagMsgOrigin origin) {
  if (scope.keepDays <= 0 || scope.workDirectory.empty()) return;
  RemoveExpiredFolders(scope, "err", events, origin);
  RemoveExpiredFolders(scope, "archive", events, origin);
  RemoveExpiredLogs(scope, events, origin);
}

}  // namespace qx
