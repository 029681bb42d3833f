// The module's entry points: DllGetClassObject hands out the class factory
// of RDOSession, the one class the stand-in library creates; every other
// object is reached from a session. DllCanUnloadNow answers S_FALSE while
// an object or a factory lock is alive. These two are the module's only
// exported symbols (vasnik.map).

#include <objbase.h>

#include <atomic>
#include <new>

#include "outlook/redemption_ids.h"
#include "standin/com/dispatch_object.h"
#include "standin/com/rdo_objects.h"

namespace vasnik::com {
namespace {

class SessionFactory final : public IClassFactory {
 public:
  SessionFactory() { DispatchObject::AddModuleLock(); }
  ~SessionFactory() { DispatchObject::ReleaseModuleLock(); }
  SessionFactory(const SessionFactory&) = delete;
  SessionFactory& operator=(const SessionFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *ppvObject = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

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

 private:
  std::atomic<ULONG> refs_{1};
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
