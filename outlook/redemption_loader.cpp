#include "outlook/redemption_loader.h"

#include <QFileInfo>

#include "outlook/redemption_ids.h"
#include "platform/system.h"

namespace outlook {

TRedemptionLoader::TRedemptionLoader(platform::DynamicLoader& dynamicLoader) : dl_(dynamicLoader) {}

TRedemptionLoader::~TRedemptionLoader() {
  std::lock_guard<std::mutex> guard(lock_);
  if (module_) dl_.Unload(module_);
  module_ = nullptr;
  getClassObject_ = nullptr;
}

QString TRedemptionLoader::DllLocation32Bit() const {
  std::lock_guard<std::mutex> guard(lock_);
  return location32_;
}

void TRedemptionLoader::SetDllLocation32Bit(const QString& path) {
  std::lock_guard<std::mutex> guard(lock_);
  location32_ = path;
}

QString TRedemptionLoader::DllLocation64Bit() const {
  std::lock_guard<std::mutex> guard(lock_);
  return location64_;
}

void TRedemptionLoader::SetDllLocation64Bit(const QString& path) {
  std::lock_guard<std::mutex> guard(lock_);
  location64_ = path;
}

bool TRedemptionLoader::IsLoaded() const {
  std::lock_guard<std::mutex> guard(lock_);
  return module_ != nullptr;
}

QString TRedemptionLoader::GetLastErrorStr() const { return dl_.LastErrorText(); }

ComPtr<IUnknown> TRedemptionLoader::InstantiateClass(REFCLSID clsid) {
  std::lock_guard<std::mutex> guard(lock_);

  if (!module_) {
    const QString dir = QFileInfo(platform::ExecutablePath()).absolutePath();
    if (location32_.isEmpty()) location32_ = dir + platform::kPathDelim + QStringLiteral("Redemption") + platform::ModuleSuffix();
    if (location64_.isEmpty())
      location64_ = dir + platform::kPathDelim + QStringLiteral("Redemption64") + platform::ModuleSuffix();
    module_ = dl_.Load(location32_);
    if (!module_)
      throw LoaderError(QStringLiteral("Could not load \"%1\": %2").arg(location32_, GetLastErrorStr()));
  }

  if (!getClassObject_) {
    getClassObject_ = reinterpret_cast<LPFNGETCLASSOBJECT>(dl_.Symbol(module_, "DllGetClassObject"));
    if (!getClassObject_) throw LoaderError(QStringLiteral("The dll does not export the 'DllGetClassObject' function"));
  }

  // The factory reference is released on every path by its ComPtr.
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject_(clsid, IID_IClassFactory, factory.ReceiveVoid());
  if (SUCCEEDED(hr) && !factory) hr = E_POINTER;  // a success without a factory cannot be used
  if (FAILED(hr)) throw ComError(hr, QStringLiteral("DllGetClassObject returned 0x%1").arg(HexStatus(hr)));

  ComPtr<IUnknown> object;
  hr = factory->CreateInstance(nullptr, IID_IUnknown, object.ReceiveVoid());
  if (SUCCEEDED(hr) && !object) hr = E_POINTER;
  if (hr == CO_E_WRONGOSFORAPP)
    throw ComError(hr, QStringLiteral("IClassFactory.CreateInstance returned CO_E_WRONGOSFORAPP.\r\n"
                                      "Make sure the bitness of your application and the MAPI system/Outlook match"));
  if (FAILED(hr))
    throw ComError(hr, QStringLiteral("IClassFactory.CreateInstance returned 0x%1").arg(HexStatus(hr)));
  return object;
}

DispatchRef TRedemptionLoader::Create(REFCLSID clsid, REFIID iid) {
  const ComPtr<IUnknown> object = InstantiateClass(clsid);
  // The class's interface is dual (derived from IDispatch), so the pointer
  // QueryInterface returns for it is an IDispatch as well.
  ComPtr<IDispatch> typed = object.As<IDispatch>(iid);
  if (!typed) throw InterfaceCastError();
  return DispatchRef(typed.Get());
}

DispatchRef TRedemptionLoader::new_RDOSession() { return Create(ids::CLSID_RDOSession, ids::IID_IRDOSession); }
DispatchRef TRedemptionLoader::new_SafeMailItem() { return Create(ids::CLSID_SafeMailItem, ids::IID_ISafeMailItem); }
DispatchRef TRedemptionLoader::new_SafeContactItem() {
  return Create(ids::CLSID_SafeContactItem, ids::IID_ISafeContactItem);
}
DispatchRef TRedemptionLoader::new_SafeAppointmentItem() {
  return Create(ids::CLSID_SafeAppointmentItem, ids::IID_ISafeAppointmentItem);
}
DispatchRef TRedemptionLoader::new_SafeTaskItem() { return Create(ids::CLSID_SafeTaskItem, ids::IID_ISafeTaskItem); }
DispatchRef TRedemptionLoader::new_SafeJournalItem() {
  return Create(ids::CLSID_SafeJournalItem, ids::IID_ISafeJournalItem);
}
DispatchRef TRedemptionLoader::new_SafeMeetingItem() {
  return Create(ids::CLSID_SafeMeetingItem, ids::IID_ISafeMeetingItem);
}
DispatchRef TRedemptionLoader::new_SafePostItem() { return Create(ids::CLSID_SafePostItem, ids::IID_ISafePostItem); }
DispatchRef TRedemptionLoader::new_SafeReportItem() {
  return Create(ids::CLSID_SafeReportItem, ids::IID_ISafeReportItem);
}
DispatchRef TRedemptionLoader::new_SafeMAPIFolder() {
  return Create(ids::CLSID_SafeMAPIFolder, ids::IID_ISafeMAPIFolder);
}
DispatchRef TRedemptionLoader::new_SafeCurrentUser() {
  return Create(ids::CLSID_SafeCurrentUser, ids::IID_ISafeCurrentUser);
}
DispatchRef TRedemptionLoader::new_SafeDistList() { return Create(ids::CLSID_SafeDistList, ids::IID_ISafeDistList); }
DispatchRef TRedemptionLoader::new_AddressLists() { return Create(ids::CLSID_AddressLists, ids::IID_IAddressLists); }
DispatchRef TRedemptionLoader::new_MAPITable() { return Create(ids::CLSID_MAPITable, ids::IID__IMAPITable); }
DispatchRef TRedemptionLoader::new_MAPIUtils() { return Create(ids::CLSID_MAPIUtils, ids::IID_IMAPIUtils); }
DispatchRef TRedemptionLoader::new_SafeInspector() {
  return Create(ids::CLSID_SafeInspector, ids::IID_ISafeInspector);
}

TRedemptionLoader& LoaderInstance() {
  // Constructed by the initialiser below during static initialisation;
  // destroyed after main() returns, in reverse order of construction.
  static TRedemptionLoader instance;
  return instance;
}

namespace {
// Creates the process's loader while the program's modules are initialised,
// before main() runs and before any window exists.
[[maybe_unused]] const bool kLoaderCreated = (LoaderInstance(), true);
}  // namespace

}  // namespace outlook
