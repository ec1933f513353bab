// Retention: removes the day folders of "err" and "archive" and the day logs of "logs" in the
// work directory once they are older than the configured number of days ("keepDays" in the
// settings; off unless set). They hold patient data that nothing reads any more. Runs at the
// start of a job, while the job lock is held, so no step of this user moves files into them.
//
// Only names the component itself gives are ever touched: a day folder "YYYY-MM-DD" (a real
// date) directly in "err" or "archive" that holds nothing but files, and a day log
// "YYYY-MM-DD.log" in "logs" that is a regular file. Links are never followed (not at "err",
// "archive", "logs", the day folder or its files), a folder that holds anything else stays
// whole, and the day of the open log (the session) is never removed. Every removal is reported
// as an event; what could not be removed is reported and left as it was.
//
// On the job's worker thread; not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qendix/qendix.h"
#include "support/event_target.h"

namespace qx {

// Event codes of the retention: a day folder or log removed (mlInfo, class mcModule, the file
// name "err/<day>", "archive/<day>" or "logs/<day>.log", message 1130 with the number of files
// removed), and one that had expired but was left (mlWarning, message 1131; after it, the cause
// as a system error event when there is one).
inline constexpr int32_t kRetentionRemovedCode = 30;
inline constexpr int32_t kRetentionKeptCode = 31;

// The day a name "YYYY-MM-DD" stands for, as days since 1970-01-01; nothing for any other name
// (other length, other characters, a date that does not exist).
std::optional<int64_t> DayNumberOfName(std::string_view name);

// Today's local date as days since 1970-01-01.
int64_t TodayDayNumber();

struct RetentionScope {
  std::string workDirectory;
  int keepDays = 0;     // 0: nothing is removed
  int64_t today = 0;    // days since 1970-01-01; a day is removed when today - day > keepDays
  std::string session;  // the day of the open log ("YYYY-MM-DD"); never removed
};

// Removes what has expired in `scope` and reports it to `events` with `origin`.
void RemoveExpiredDays(const RetentionScope& scope, EventTarget& events, tagMsgOrigin origin);

}  // namespace qx
