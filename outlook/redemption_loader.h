#pragma once
// TRedemptionLoader: creates the messaging library's objects straight from
// its module, without any registration: the module is loaded from a path
// the program chooses, its exported DllGetClassObject hands out class
// factories, and each factory creates one object.
//
// The module is loaded at most once, lazily, by the first creation, and
// unloaded by the destructor; a failed load leaves nothing loaded, so the
// next creation tries again. The export is looked up once. Every member
// runs under one lock, so the loader may be used from any thread; the
// objects it creates belong to the creating thread.
//
// Errors (all raised from the creation functions):
//   LoaderError         the module cannot be loaded, or has no DllGetClassObject
//   ComError            DllGetClassObject or IClassFactory::CreateInstance failed;
//                       Status() is the failing status
//   InterfaceCastError  the object lacks the interface of its class
//
// Lifetime: LoaderInstance() is the process's loader. It is created during
// static initialisation (before main and before any window) and destroyed
// during static destruction, after main has returned, so after the
// controller and every library object it held are gone; only then is the
// module unloaded. Objects created by a loader must be released before the
// loader is destroyed.

#include <QString>

#include <mutex>
#include <stdexcept>

#include <objbase.h>

#include "outlook/com_error.h"
#include "outlook/com_ptr.h"
#include "outlook/dispatch_ref.h"
#include "platform/dynamic_library.h"

namespace outlook {

// A general failure of the loader (the module or its export).
class LoaderError : public std::runtime_error {
 public:
  explicit LoaderError(const QString& message) : std::runtime_error(message.toStdString()) {}
  QString Message() const { return QString::fromUtf8(what()); }
};

class TRedemptionLoader {
 public:
  // dynamicLoader must outlive the loader; the default is the system's.
  explicit TRedemptionLoader(platform::DynamicLoader& dynamicLoader = platform::DynamicLoader::System());
  ~TRedemptionLoader();  // unloads the module
  TRedemptionLoader(const TRedemptionLoader&) = delete;
  TRedemptionLoader& operator=(const TRedemptionLoader&) = delete;

  // Paths of the library module. Empty until set or until the first
  // creation fills in the defaults: the executable's directory +
  // "/Redemption" + module suffix, and "/Redemption64" + suffix. The module
  // loaded is always DllLocation32Bit (the program's own choice of module);
  // DllLocation64Bit only receives its default. Setting a location after the
  // module is loaded does not change the loaded module.
  QString DllLocation32Bit() const;
  void SetDllLocation32Bit(const QString& path);
  QString DllLocation64Bit() const;
  void SetDllLocation64Bit(const QString& path);

  // One object of class clsid, as its IUnknown; loads the module on first use.
  ComPtr<IUnknown> InstantiateClass(REFCLSID clsid);

  // The creatable classes, each returned through the interface of its class.
  DispatchRef new_RDOSession();
  DispatchRef new_SafeMailItem();
  DispatchRef new_SafeContactItem();
  DispatchRef new_SafeAppointmentItem();
  DispatchRef new_SafeTaskItem();
  DispatchRef new_SafeJournalItem();
  DispatchRef new_SafeMeetingItem();
  DispatchRef new_SafePostItem();
  DispatchRef new_SafeReportItem();
  DispatchRef new_SafeMAPIFolder();
  DispatchRef new_SafeCurrentUser();
  DispatchRef new_SafeDistList();
  DispatchRef new_AddressLists();
  DispatchRef new_MAPITable();
  DispatchRef new_MAPIUtils();
  DispatchRef new_SafeInspector();

  // The system's text for the last failure of the module loader on this
  // thread; empty when there is none.
  QString GetLastErrorStr() const;

  bool IsLoaded() const;

 private:
  DispatchRef Create(REFCLSID clsid, REFIID iid);

  platform::DynamicLoader& dl_;
  mutable std::mutex lock_;
  QString location32_;
  QString location64_;
  platform::ModuleHandle module_ = nullptr;
  LPFNGETCLASSOBJECT getClassObject_ = nullptr;
};

// The process's loader (see "Lifetime" above).
TRedemptionLoader& LoaderInstance();

}  // namespace outlook
