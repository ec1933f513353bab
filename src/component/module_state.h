// Module-wide state of the component library: the once-per-process initialisation (settings
// path and first-run defaults, built-in classes, XML library), the count of live objects and job
// threads (for QxCanUnloadNow), and the cancel and auto flags of the running job.
// Everything here is thread-safe.
#pragma once

namespace qx {

// Runs the module's load-time work exactly once per process; later calls return at once.
void EnsureModuleInitialized();

// Live component objects and job worker threads; the library may be unloaded at zero.
void ModuleObjectCreated();
void ModuleObjectDestroyed();
int ModuleObjectCount();

// The cancel flag: set by Cancel, cleared by every job start, read by the steps.
void SetCancelFlag(bool value);
bool CancelFlag();

// The auto flag: set while the first three steps of an Auto job run; a step run does not give
// the job lock back while it is set.
void SetAutoFlag(bool value);
bool AutoFlag();

}  // namespace qx
