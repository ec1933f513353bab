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
};

void SetSettingsPath(const std::string& path);
std::string SettingsPath();

// Writes the first-run defaults that are missing: "trustCenter" (with "withPDF" and "archive"),
// "inputDir" (module folder + "/Rechnungen", created) and "workDir" (module folder).
void ApplyFirstRunDefaults(const std::string& module_dir);

SettingsValues LoadSettings();
void StoreSettings(const SettingsValues& values);


}  // namespace qx
