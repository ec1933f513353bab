// The day's event log in the work directory: "<workDirectory>/logs/YYYY-MM-DD.log", opened at
// the first event after creation or Close, one line "%u|%d|%d|%d|%d|%s|%s\n" per event (time,
// level, class, origin, code, file name, message; an absent text is "(null)"), the generator text
// as the first line of a new file, flushed after every line. The "logs" folder is made 0700 and
// the file 0600 (they name invoice files); an existing log loses its group and world bits.
//
// Not thread-safe: the component serialises all use under its event lock.
#pragma once

#include <cstdio>
#include <string>

#include "qendix/com.h"

namespace qx {

class DailyLog {
 public:
  DailyLog() = default;
  ~DailyLog() { Close(); }
  DailyLog(const DailyLog&) = delete;
  DailyLog& operator=(const DailyLog&) = delete;

  // Opens the file of today's date below `work_directory` when none is open. On success sets
  // `*session` to the date text "%d-%02d-%02d". False when there is no open file afterwards;
  // `*error` (may be null) then holds the errno value of the failure (0 when there is no work
  // directory to open it in, or the name is no regular file), and `*path` (may be null) the file.
  bool EnsureOpen(const std::string& work_directory, std::string* session, int* error = nullptr,
                  std::string* path = nullptr);

  // Writes one event line and flushes it. Line breaks inside the texts are written as blanks so
  // that every event stays one line.
  void WriteLine(int level, int mclass, int origin, int code, const BStr& file, const BStr& msg);

  void Close();
  bool IsOpen() const { return file_ != nullptr; }

 private:
  FILE* file_ = nullptr;
};

}  // namespace qx
