// The module's entry points: DllGetClassObject hands out the class factory
// of RDOSession, the one class the stand-in library creates; every other
// object is reached from a session. DllCanUnloadNow answers S_FALSE while
// an object or a factory lock is alive. These two are the module's only
// exported symbols (vasnik.map).

#include <objbase.h>

#include <atomic>
#include <new>

#include "outlook/redemption_ids.h"
#include "platform/com/com_object.h"
#include "standin/com/dispatch_object.h"
#include "standin/com/rdo_objects.h"

namespace vasnik::com {
namespace {

class SessionFactory final : public platform::com::ComObject<IClassFactory> {
 public:
  SessionFactory() : ComObject(IID_IClassFactory) { DispatchObject::AddModuleLock(); }
  ~SessionFactory() override { DispatchObject::ReleaseModuleLock(); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    IDispatch* session = nullptr;
    try {
      session = NewSession();
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = session->QueryInterface(riid, ppvObject);
    session->Release();
    return hr;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock)
      DispatchObject::AddModuleLock();
    else
      DispatchObject::ReleaseModuleLock();
    return S_OK;
  }
};

}  // namespace
}  // namespace vasnik::com

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, outlook::ids::CLSID_RDOSession)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) vasnik::com::SessionFactory();
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

STDAPI DllCanUnloadNow() { return vasnik::com::DispatchObject::LiveCount() == 0 ? S_OK : S_FALSE; }
