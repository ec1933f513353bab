#include "formats/register_settings.h"

#include <limits>

#include "platform/fault_injection.h"
#include "platform/module.h"
#include "support/ini_file.h"

namespace qx {

std::string DefaultRegisterPath() {
  return ModuleDirectory() + "/qendix.log";
}

std::string DefaultSettingsPath() {
  return ModuleDirectory() + "/qendix.ini";
}

int ReadDlogMaxMonths(const std::string& iniPath) {
  FaultTagScope tag("retention");
  IniFile ini(iniPath);
  if (ini.unreadable()) return std::numeric_limits<int>::max();
  long long months = ini.ReadInt("globals", "dlog_max", 1);
  if (months < 1) return 1;
  return months > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(months);
}

}  // namespace qx
