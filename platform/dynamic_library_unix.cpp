#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <QFile>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

class DlLoader final : public DynamicLoader {
 public:
  ModuleHandle Load(const QString& path) override {
    errno = 0;
    // RTLD_LOCAL keeps a module's symbols from resolving another module's;
    // RTLD_NOW reports a missing dependency at load time, not at first call.
    return dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
  }

  void* Symbol(ModuleHandle module, const char* name) override {
    dlerror();  // a null symbol is only an error if dlerror says so
    return module ? dlsym(module, name) : nullptr;
  }

  void Unload(ModuleHandle module) override {
    if (module) dlclose(module);
  }

  QString LastErrorText() override {
    if (const char* text = dlerror()) return QString::fromLocal8Bit(text);
    if (errno != 0) return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
  }
};

}  // namespace

DynamicLoader& DynamicLoader::System() {
  // Never destroyed, so a loader that unloads modules at process exit can
  // still use it whatever the order of static destruction.
  static DlLoader* loader = new DlLoader;
  return *loader;
}

}  // namespace platform
