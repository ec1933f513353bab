// The status of an installation at one glance, for the people who run it: the settings, the
// Trust Center and its URL, the security client (installed, running, the login), the files that
// wait in each folder of a job and in today's error folder, the sent-invoice register (size and
// oldest entry) and the outcome of the last job in today's log.
//
// Collecting only reads: the settings come from the caller, the Trust Center directory cache and
// the register from the module folder, the folders and the log from the work directory. The
// security client is asked, never started. Runs on the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "steps/job_context.h"

namespace qx {

struct StatusReport {
  std::string moduleFolder;
  JobSettings settings;
  // The selected Trust Center in the directory cache.
  bool centerKnown = false;
  std::string centerUrl;
  // The security client.
  bool asasInstalled = false;
  bool asasRunning = false;
  std::string asasVersion;
  std::string asasCurrentLogin;  // the login the client runs under or last ran under
  bool loginKnown = false;       // the configured login is one of the client's logins
  // Files a job would take (recognised invoice files and PDFs), per folder.
  struct Folder {
    std::string name;  // "invoices", "input", "valid", "output", "err"
    std::string path;
    bool exists = false;
    int files = 0;
  };
  std::vector<Folder> folders;
  // The sent-invoice register.
  std::string registerPath;
  bool registerReadable = false;
  uint64_t registerEntries = 0;
  int64_t registerOldest = 0;  // seconds since 1970 UTC; 0 without entries
  // The last job in today's log: its steps' end texts, the error events, whether it ended.
  std::string logPath;
  bool jobFound = false;
  int64_t jobStarted = 0;
  int64_t jobEnded = 0;  // 0 when its last step has not ended
  std::vector<std::string> jobEndTexts;
  int jobErrors = 0;
};

StatusReport CollectStatus(const JobSettings& settings);

// The report for the screen, in the user's language; and as one JSON object.
std::string StatusText(const StatusReport& report);
std::string StatusJson(const StatusReport& report);

// The last job of a day log's text: a job is a run of steps whose start events have rising
// origins (the steps of Auto: Reader, Checker, Anonymizer, Sender). Fills the job fields.
void FindLastJob(const std::string& logText, StatusReport* report);

}  // namespace qx
