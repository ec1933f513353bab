// Module-wide state of the component library: the once-per-process initialisation (settings
// path and first-run defaults, built-in classes, XML library), the count of live objects and job
// threads (for QxCanUnloadNow).
// Everything here is thread-safe.
#pragma once

namespace qx {

// Runs the module's load-time work exactly once per process; later calls return at once.
void EnsureModuleInitialized();

// Live component objects and job worker threads; the library may be unloaded at zero.
void ModuleObjectCreated();
void ModuleObjectDestroyed();
int ModuleObjectCount();

}  // namespace qx
