#include "component/module_state.h"

#include <atomic>
#include <mutex>

#include "component/cqendix.h"
#include "crypto/code_object.h"
#include "platform/class_registry.h"
#include "platform/module.h"
#include "platform/xml_sax.h"
#include "support/settings.h"

namespace qx {
namespace {

std::atomic<int> g_objects{0};

}  // namespace

void EnsureModuleInitialized() {
  static std::once_flag once;
  std::call_once(once, [] {
    InitXmlLibrary();
    std::string dir = ModuleDirectory();
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
