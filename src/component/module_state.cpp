#include "component/module_state.h"

#include <atomic>
#include <mutex>

#include "component/cqendix.h"
#include "crypto/code_object.h"
#include "platform/class_registry.h"
#include "platform/file_system.h"
#include "platform/module.h"
#include "platform/module_folder.h"
#include "platform/xml_sax.h"
#include "support/settings.h"

namespace qx {
namespace {

std::atomic<int> g_objects{0};

// Largest shipped Trust Center directory that is copied into a module folder.
constexpr size_t kMaxShippedDirectoryBytes = 1 << 20;

// A module folder without a Trust Center directory gets a private copy of the shipped one, so
// that the default Trust Center can be selected and listed from the first run on. A folder that
// has one (even a broken one) keeps it.
void SeedCenterDirectory(const std::string& module_dir) {
  const std::string target = JoinPath(module_dir, "qendix.xml");
  const std::string shipped = ShippedCenterDirectory();
  if (PathExists(target) || shipped == target) return;
  std::string content;
  if (Failed(ReadFileLimited(shipped, kMaxShippedDirectoryBytes, &content))) return;
  WriteFileAtomically(target, content);
}

}  // namespace

void EnsureModuleInitialized() {
  static std::once_flag once;
  std::call_once(once, [] {
    InitXmlLibrary();
    std::string dir = ModuleDirectory();
    // A module folder that does not exist yet is made private; a failure shows later as
    // settings that cannot be stored.
    CreateMissingFolders(dir);
    SeedCenterDirectory(dir);
    SetSettingsPath(dir + "/qendix.ini");
    ApplyFirstRunDefaults(dir);
    RegisterBuiltinClass("qendix.1", &CQendix::CreateInstance);
    RegisterBuiltinClass("qendix", &CQendix::CreateInstance);
    RegisterBuiltinClass("qendix.Code.1", &CreateCodeObject);
    RegisterBuiltinClass("qendix.Code", &CreateCodeObject);
  });
}

void ModuleObjectCreated() {
  g_objects.fetch_add(1);
}
void ModuleObjectDestroyed() {
  g_objects.fetch_sub(1);
}
int ModuleObjectCount() {
  return g_objects.load();
}

}  // namespace qx
