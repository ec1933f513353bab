#include "support/settings.h"

#include <mutex>
#include <vector>

#include "platform/codepage.h"
#include "platform/file_system.h"
#include "support/ini_file.h"

namespace qx {
namespace {

constexpr const char* kSection = "globals";

// Never destroyed: a job thread that ends while the process exits may still store settings.
std::mutex& PathMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::string& PathStorage() {
  static auto* path = new std::string;
  return *path;
}

IniFile File() {
  return IniFile(SettingsPath());
}

// A value as the profile functions give it: missing and empty are the same, cut to 511 bytes.
std::string ReadText(const IniFile& ini, const char* key) {
  auto v = ini.ReadString(kSection, key);
  return v ? TruncateUtf8(*v, kMaxSettingBytes) : std::string();
}

}  // namespace

void SetSettingsPath(const std::string& path) {
  std::lock_guard lock(PathMutex());
  PathStorage() = path;
}

std::string SettingsPath() {
  std::lock_guard lock(PathMutex());
  return PathStorage();
}

void ApplyFirstRunDefaults(const std::string& module_dir) {
  IniFile ini = File();
  if (ini.unreadable()) return;
  if (ReadText(ini, "trustCenter").empty()) {
    std::vector<IniFile::KeyValue> defaults = {{"trustCenter", std::string("TC test")}};
    // Options the user set stay as they are, also when the label was lost.
    if (ReadText(ini, "withPDF").empty()) defaults.push_back({"withPDF", std::string("0")});
    if (ReadText(ini, "archive").empty()) defaults.push_back({"archive", std::string("1")});
    ini.WriteStrings(kSection, defaults);
  }
  if (ReadText(ini, "inputDir").empty()) {
    std::string input = JoinPath(module_dir, "Rechnungen");
    ini.WriteString(kSection, "inputDir", input);
    // The practice software writes its invoices here: the folder gets the usual permissions
    // (umask), not the private ones of the work folders.
    CreateDirectoryLevel(input, 0777);
  }
  if (ReadText(ini, "workDir").empty()) ini.WriteString(kSection, "workDir", module_dir);
}

SettingsValues LoadSettings() {
  IniFile ini = File();
  SettingsValues v;
  v.unreadable = ini.unreadable();
  std::string tc = ReadText(ini, "trustCenter");
  std::string input = ReadText(ini, "inputDir");
  std::string work = ReadText(ini, "workDir");
  // The first-run defaults that ApplyFirstRunDefaults could not write (a full disk, a failed
  // write) count all the same: a file that lacks them reads as if it held them, so that a failed
  // write never turns withArchive off. An unreadable file gives empty texts, as before.
  const bool firstRun = !v.unreadable && tc.empty();
  if (firstRun) tc = "TC test";
  if (!v.unreadable && input.empty()) input = JoinPath(FolderOf(SettingsPath()), "Rechnungen");
  if (!v.unreadable && work.empty()) work = FolderOf(SettingsPath());
  v.trustCenter = tc;
  v.inputDirectory = input;
  v.workDirectory = work;
  v.asasLogin = ReadText(ini, "asasLogin");
  if (ini.ReadInt(kSection, "withPDF", 0) != 0) v.options |= kOptionWithPdf;
  // A file that cannot be read keeps archiving on as well: deleting what was sent is the choice
  // that cannot be taken back.
  const bool archiveSet = !ReadText(ini, "archive").empty();
  if (ini.ReadInt(kSection, "archive", v.unreadable || (firstRun && !archiveSet) ? 1 : 0) != 0)
    v.options |= kOptionWithArchive;
  if (ini.ReadInt(kSection, "debug", 0) != 0) v.options |= kOptionDebug;
  return v;
}

int ReadKeepDays() {
  IniFile ini = File();
  if (ini.unreadable()) return 0;
  long long days = ini.ReadInt(kSection, "keepDays", 0);
  if (days <= 0) return 0;
  return days > kMaxKeepDays ? kMaxKeepDays : static_cast<int>(days);
}

void StoreSettings(const SettingsValues& v) {
  if (v.unreadable) return;
  File().WriteStrings(kSection, {{"trustCenter", v.trustCenter},
                                 {"inputDir", v.inputDirectory},
                                 {"workDir", v.workDirectory},
                                 {"asasLogin", v.asasLogin},
                                 {"withPDF", std::to_string(v.options & kOptionWithPdf)},
                                 {"archive", std::to_string(v.options & kOptionWithArchive)},
                                 {"debug", std::to_string(v.options & kOptionDebug)}});
}

}  // namespace qx
