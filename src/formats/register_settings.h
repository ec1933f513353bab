// Where the sent-invoice register lives and how long it keeps its entries.
#pragma once

#include <cstdint>
#include <string>

namespace qx {

// Seconds of one retention month (30 days).
inline constexpr int64_t kRegisterSecondsPerMonth = 2592000;

// The register file "qendix.log" in the module's folder.
std::string DefaultRegisterPath();

// The settings file "qendix.ini" in the module's folder.
std::string DefaultSettingsPath();

// The retention of the register in months: the key "dlog_max" of section "globals" of the INI
// file at `iniPath`, read as an integer the way the profile functions read one (section and key
// names in any letter case, blanks around the value and surrounding quotes ignored, the number
// at the start of the value). A missing file or key, a value without number, 0 or a negative
// value all count as 1. A file that exists but cannot be read gives the largest number, so that
// no entry is dropped on the strength of a value that could not be read.
int ReadDlogMaxMonths(const std::string& iniPath);

}  // namespace qx
