#pragma once
// Loading shared modules at run time: dlopen/dlsym/dlclose here, and
// LoadLibraryW/GetProcAddress/FreeLibrary on Windows, behind one small
// interface. Code that loads modules takes a DynamicLoader so that tests can
// count or fake the calls; DynamicLoader::System() is the real one.

#include <QString>

namespace platform {

// Opaque handle of a loaded module; nullptr means "none".
using ModuleHandle = void*;

class DynamicLoader {
 public:
  virtual ~DynamicLoader() = default;

  // Loads the module at path with all its symbols resolved now and kept
  // local to it. Returns nullptr on failure; LastErrorText() then tells why.
  virtual ModuleHandle Load(const QString& path) = 0;
  // The address of an exported symbol, or nullptr when it is not exported.
  virtual void* Symbol(ModuleHandle module, const char* name) = 0;
  // Releases one load of the module.
  virtual void Unload(ModuleHandle module) = 0;
  // The system's text for the calling thread's last failure of the calls
  // above, or "" when the system has none. Reading it may reset it.
  virtual QString LastErrorText() = 0;

  // The system's loader. Lives until the process ends.
  static DynamicLoader& System();
};

}  // namespace platform
