// The component's settings in "qendix.ini" beside the module, section "globals".
//
// The path is fixed once per process at module initialisation (SetSettingsPath). First-run
// defaults are written then; each component loads the settings at creation and stores them at
// its final release. Functions here are thread-compatible: callers do not run them concurrently
// on one file within a process (module init runs once; loads and stores run on the host thread).
#pragma once

#include <cstdint>
#include <string>

#include "qendix/com.h"

namespace qx {

constexpr uint32_t kOptionWithPdf = 1;
constexpr uint32_t kOptionWithArchive = 2;
constexpr uint32_t kOptionDebug = 16;

// Longest text value taken over from the file, in bytes.
constexpr size_t kMaxSettingBytes = 511;

struct SettingsValues {
  BStr trustCenter;  // null when the key is missing or empty
  // Loaded as empty texts when missing; a null value stored removes the key.
  BStr inputDirectory;
  BStr workDirectory;
  BStr asasLogin;
  uint32_t options = 0;
  // The file exists but could not be read (too large, not a regular file, no permission, a read
  // error): the texts above are empty and the options off but withArchive, and StoreSettings
  // writes nothing, so the settings in the file are never replaced by them.
  bool unreadable = false;
};

void SetSettingsPath(const std::string& path);
std::string SettingsPath();

// Writes the first-run defaults of the keys that are missing (absent or empty): when
// "trustCenter" is missing, "trustCenter" = "TC test" and, each only if missing too, "withPDF" =
// "0" and "archive" = "1"; "inputDir" (module folder + "/Rechnungen", created) and "workDir"
// (module folder). A value that is present is never changed. Writes nothing when the file exists
// but cannot be read.
void ApplyFirstRunDefaults(const std::string& module_dir);

// The values of the file. Keys the first-run defaults would have filled read as those defaults
// when the file lacks them (a write of the defaults failed); a file that cannot be read gives
// empty texts and withArchive on.
SettingsValues LoadSettings();

// Longest retention taken over, in days (about 270 years): larger values mean the same.
constexpr int kMaxKeepDays = 100000;

// How many days the day folders of "err" and "archive" and the day logs are kept: the key
// "keepDays" of the settings file, read at the start of every job (it is no property). 0 means
// they are kept for ever, and is what a missing key, a value without a number, 0 or a negative
// value give, and a file that exists but cannot be read: nothing is removed on the strength of
// a value that could not be read.
int ReadKeepDays();
// Writes every key from `values`; nothing when values.unreadable is set. Failures are ignored (a
// file that cannot be read at this moment is not written either, see ini_file.h).
void StoreSettings(const SettingsValues& values);

}  // namespace qx
