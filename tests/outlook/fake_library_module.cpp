// A stand-in for the messaging library's module, built several times with a
// different FAKE_MODE each, to drive the loader down every path:
//   FAKE_NO_EXPORT      exports no DllGetClassObject
//   FAKE_NO_FACTORY     DllGetClassObject refuses (CLASS_E_CLASSNOTAVAILABLE)
//   FAKE_REFUSING       the factory refuses: CO_E_WRONGOSFORAPP for the
//                       session class, E_OUTOFMEMORY for every other class
//   FAKE_NO_INTERFACE   objects answer IUnknown and IDispatch only
//   FAKE_WORKING        objects answer their class's interface; member
//                       "ClassID" reads the class id they were made for
// Every build exports FakeModuleCounters for the test to read.

#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <string>

#include "outlook/redemption_ids.h"
#include "platform/com/com_object.h"
#include "platform/com/guid_text.h"

#define FAKE_NO_EXPORT 1
#define FAKE_NO_FACTORY 2
#define FAKE_REFUSING 3
#define FAKE_NO_INTERFACE 4
#define FAKE_WORKING 5

namespace {

namespace ids = outlook::ids;

std::atomic<int> g_getClassObjectCalls{0};
std::atomic<int> g_createInstanceCalls{0};
std::atomic<int> g_liveFactories{0};
std::atomic<int> g_liveObjects{0};

struct ClassPair {
  CLSID clsid;
  IID iid;
};
constexpr ClassPair kClasses[] = {
    {ids::CLSID_RDOSession, ids::IID_IRDOSession},
    {ids::CLSID_SafeMailItem, ids::IID_ISafeMailItem},
    {ids::CLSID_SafeContactItem, ids::IID_ISafeContactItem},
    {ids::CLSID_SafeAppointmentItem, ids::IID_ISafeAppointmentItem},
    {ids::CLSID_SafeTaskItem, ids::IID_ISafeTaskItem},
    {ids::CLSID_SafeJournalItem, ids::IID_ISafeJournalItem},
    {ids::CLSID_SafeMeetingItem, ids::IID_ISafeMeetingItem},
    {ids::CLSID_SafePostItem, ids::IID_ISafePostItem},
    {ids::CLSID_SafeReportItem, ids::IID_ISafeReportItem},
    {ids::CLSID_SafeMAPIFolder, ids::IID_ISafeMAPIFolder},
    {ids::CLSID_SafeCurrentUser, ids::IID_ISafeCurrentUser},
    {ids::CLSID_SafeDistList, ids::IID_ISafeDistList},
    {ids::CLSID_AddressLists, ids::IID_IAddressLists},
    {ids::CLSID_MAPITable, ids::IID__IMAPITable},
    {ids::CLSID_MAPIUtils, ids::IID_IMAPIUtils},
    {ids::CLSID_SafeInspector, ids::IID_ISafeInspector},
};

[[maybe_unused]] const ClassPair* FindClass(REFCLSID clsid) {
  for (const ClassPair& c : kClasses)
    if (IsEqualCLSID(c.clsid, clsid)) return &c;
  return nullptr;
}

class Object final : public platform::com::ComObject<IDispatch> {
 public:
  explicit Object(const ClassPair& cls) : ComObject(IID_IDispatch), cls_(cls) { ++g_liveObjects; }
  ~Object() override { --g_liveObjects; }

  bool Answers(REFIID riid) const override {
#if FAKE_MODE == FAKE_WORKING
    if (IsEqualIID(riid, cls_.iid)) return true;
#endif
    return ComObject::Answers(riid);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    if (std::u16string(names[0]) != u"ClassID") return DISP_E_UNKNOWNNAME;
    ids[0] = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    if (id != 1) return DISP_E_MEMBERNOTFOUND;
    if (result) {
      const std::string text = platform::com::GuidToString(cls_.clsid);
      result->vt = VT_BSTR;
      result->bstrVal = SysAllocStringLen(nullptr, UINT(text.size()));
      for (size_t i = 0; i < text.size(); ++i) result->bstrVal[i] = OLECHAR(text[i]);
    }
    return S_OK;
  }

 private:
  ClassPair cls_;
};

class Factory final : public platform::com::ComObject<IClassFactory> {
 public:
  explicit Factory(const ClassPair& cls) : ComObject(IID_IClassFactory), cls_(cls) { ++g_liveFactories; }
  ~Factory() override { --g_liveFactories; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    ++g_createInstanceCalls;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
#if FAKE_MODE == FAKE_REFUSING
    (void)riid;
    return IsEqualCLSID(cls_.clsid, ids::CLSID_RDOSession) ? CO_E_WRONGOSFORAPP : E_OUTOFMEMORY;
#else
    Object* object = new Object(cls_);
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
#endif
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ClassPair cls_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void FakeModuleCounters(int* getClassObjectCalls,
                                                                         int* createInstanceCalls,
                                                                         int* liveFactories, int* liveObjects) {
  *getClassObjectCalls = g_getClassObjectCalls;
  *createInstanceCalls = g_createInstanceCalls;
  *liveFactories = g_liveFactories;
  *liveObjects = g_liveObjects;
}

#if FAKE_MODE != FAKE_NO_EXPORT
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  ++g_getClassObjectCalls;
  *ppv = nullptr;
#if FAKE_MODE == FAKE_NO_FACTORY
  (void)rclsid;
  (void)riid;
  return CLASS_E_CLASSNOTAVAILABLE;
#else
  const ClassPair* cls = FindClass(rclsid);
  if (!cls) return CLASS_E_CLASSNOTAVAILABLE;
  Factory* factory = new Factory(*cls);
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
#endif
}
#endif
