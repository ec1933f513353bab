#include "formats/register_settings.h"

#include <limits>

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
  long long months = IniFile(iniPath).ReadInt("globals", "dlog_max", 1);
  if (months < 1) return 1;
  return months > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(months);
}

}  // namespace qx
