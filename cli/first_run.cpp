#include "first_run.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "platform/module_folder.h"
#include "properties.h"
#include "qendix/properties.h"

namespace qendix_cli {

bool PrepareModuleFolder(const std::string& dir, std::string* error) {
  int e = qx::CreateMissingFolders(dir);
  if (e != 0) {
    *error = "cannot use the module folder " + dir + ": " + std::strerror(e);
    return false;
  }
  return true;
}

std::string ModuleFolderOf(const Library& lib) {
  return qx::ModuleFolderFor(lib.folder);
}

bool HasCenterDirectory(const std::string& folder) {
  struct stat st {};
  return ::stat((folder + "/qendix.xml").c_str(), &st) == 0;
}

void ReportDirectoryPlaced(const std::string& folder) {
  if (HasCenterDirectory(folder))
    std::fprintf(stderr,
                 "qendix: %s held no Trust Center directory; the shipped default directory "
                 "was placed there\n",
                 folder.c_str());
  else
    std::fprintf(stderr,
                 "qendix: %s holds no Trust Center directory and none could be placed there: "
                 "no Trust Center can be selected\n",
                 folder.c_str());
}

bool SettingsWereStored(const Library& lib, const std::vector<std::string>& sets,
                        std::string* name) {
  qx::RefPtr<qx::IQendix> q;
  if (qx::Failed(lib.createObject("qendix.1", &qx::IQendix::kIid, q.PutVoid())) || !q) {
    *name = "(component)";
    return false;
  }
  // The last value put for a name is the one stored.
  std::map<std::string, std::string> last;
  for (const auto& s : sets) {
    auto eq = s.find('=');
    last[s.substr(0, eq)] = s.substr(eq + 1);
  }
  for (auto [key, want] : last) {
    bool b = false;
    if (qx::FindBoolProperty(key) && ParseBool(want, &b)) want = b ? "true" : "false";
    std::vector<std::string> lines;
    bool known = false;
    if (qx::Failed(GetProperty(q.Get(), key, &lines, &known)) || lines.size() != 1 ||
        lines[0] != want) {
      *name = key;
      return false;
    }
  }
  return true;
}

}  // namespace qendix_cli
