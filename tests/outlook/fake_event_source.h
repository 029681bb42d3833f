#pragma once
// Hand-written event sources for the tests of the COM event sink: type
// information (FakeTypeInfo, FakeTypeLib), connection points and their
// enumerator, and a source (FakeEventSource) that offers class information
// and a connection-point container, each switchable off or made to fail.
//
// Every object is owned by the test and never frees itself: Release only
// counts down, so a test can check that whoever borrowed a reference gave it
// back (refs returns to 1) and that every TYPEATTR and FUNCDESC handed out
// was released (attrsHeld, descsHeld return to 0).

#include <ocidl.h>
#include <oleauto.h>

#include <QString>

#include <algorithm>
#include <vector>

#include "outlook/variant.h"
#include "tests/support/fake_com.h"

namespace testing_fakes {

struct FakeFunction {
  DISPID id = 0;
  QString name;
  bool descFails = false;  // GetFuncDesc fails for this index
  bool nameFails = false;  // GetDocumentation fails for this id
};

class FakeTypeInfo;

struct FakeImplType {
  INT flags = 0;
  FakeTypeInfo* type = nullptr;
  bool flagsFail = false;
  bool refFails = false;
};

class FakeTypeInfo : public ITypeInfo {
 public:
  ULONG refs = 1;
  IID guid{};
  TYPEKIND kind = TKIND_DISPATCH;
  std::vector<FakeFunction> functions;  // an interface's
  std::vector<FakeImplType> impls;      // a coclass's
  bool attrFails = false;
  ITypeLib* library = nullptr;  // containing type library, or none
  int attrsHeld = 0;
  int descsHeld = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_ITypeInfo, static_cast<ITypeInfo*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** out) override {
    if (attrFails) return E_FAIL;
    auto* attr = new TYPEATTR{};
    attr->guid = guid;
    attr->typekind = kind;
    attr->cFuncs = WORD(functions.size());
    attr->cImplTypes = WORD(impls.size());
    ++attrsHeld;
    *out = attr;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* attr) override {
    delete attr;
    --attrsHeld;
  }
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** out) override {
    if (index >= functions.size()) return TYPE_E_ELEMENTNOTFOUND;
    if (functions[index].descFails) return E_FAIL;
    auto* desc = new FUNCDESC{};
    desc->memid = functions[index].id;
    desc->funckind = FUNC_DISPATCH;
    desc->invkind = INVOKE_FUNC;
    ++descsHeld;
    *out = desc;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* desc) override {
    delete desc;
    --descsHeld;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* context,
                                             BSTR* helpFile) override {
    const auto f = std::find_if(functions.begin(), functions.end(), [id](const FakeFunction& x) { return x.id == id; });
    if (f == functions.end()) return TYPE_E_ELEMENTNOTFOUND;
    if (f->nameFails) return E_FAIL;
    if (name) *name = outlook::QStringToBstr(f->name);
    if (doc) *doc = nullptr;
    if (context) *context = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* flags) override {
    if (index >= impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    if (impls[index].flagsFail) return E_FAIL;
    *flags = impls[index].flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override {
    if (index >= impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    if (impls[index].refFails) return E_FAIL;
    *ref = kRefBase + index;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** out) override {
    *out = nullptr;
    if (ref < kRefBase || ref - kRefBase >= impls.size() || !impls[ref - kRefBase].type) return E_FAIL;
    *out = impls[ref - kRefBase].type;
    (*out)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** out, UINT* index) override {
    *out = library;
    if (!library) return E_NOTIMPL;
    library->AddRef();
    if (index) *index = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR*, UINT, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

 private:
  static constexpr HREFTYPE kRefBase = 100;
};

class FakeTypeLib : public ITypeLib {
 public:
  ULONG refs = 1;
  std::vector<FakeTypeInfo*> types;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_ITypeLib, static_cast<ITypeLib*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    for (FakeTypeInfo* t : types)
      if (IsEqualGUID(t->guid, guid)) {
        *out = t;
        t->AddRef();
        return S_OK;
      }
    *out = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return UINT(types.size()); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT, TYPEKIND*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT, BSTR*, BSTR*, DWORD*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR*) override {}
};

// One connection point. A connection asks the sink for the connection
// interface, as a real source does, and keeps that reference; Fire calls it.
class FakeConnectionPoint : public IConnectionPoint {
 public:
  ULONG refs = 1;
  IID iid{};
  bool interfaceFails = false;  // GetConnectionInterface fails
  HRESULT adviseResult = S_OK;
  HRESULT unadviseResult = S_OK;
  int advises = 0;
  int unadvises = 0;
  DWORD lastUnadviseCookie = 0;
  IDispatch* sink = nullptr;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_IConnectionPoint, static_cast<IConnectionPoint*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* out) override {
    if (interfaceFails) return E_FAIL;
    *out = iid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* unknown, DWORD* cookie) override {
    ++advises;
    *cookie = 0;
    if (adviseResult != S_OK) return adviseResult;
    void* p = nullptr;
    if (FAILED(unknown->QueryInterface(iid, &p))) return CONNECT_E_CANNOTCONNECT;
    sink = static_cast<IDispatch*>(p);
    *cookie = 0x4000 + DWORD(advises);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    ++unadvises;
    lastUnadviseCookie = cookie;
    if (unadviseResult != S_OK) return unadviseResult;
    if (sink) sink->Release();
    sink = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // Raises event id with its arguments in declaration order; COM passes them
  // last first.
  HRESULT Fire(DISPID id, const std::vector<outlook::Variant>& args) {
    std::vector<VARIANT> raw(args.size());
    for (size_t i = 0; i < args.size(); ++i) raw[args.size() - 1 - i] = args[i].Raw();
    DISPPARAMS params{raw.data(), nullptr, UINT(raw.size()), 0};
    return sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
};

class FakeEnumConnectionPoints : public IEnumConnectionPoints {
 public:
  ULONG refs = 1;
  std::vector<FakeConnectionPoint*> points;
  size_t position = 0;
  std::vector<ULONG> requested;  // the count asked for by each Next

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_IEnumConnectionPoints, static_cast<IEnumConnectionPoints*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
    requested.push_back(count);
    ULONG n = 0;
    while (n < count && position < points.size()) {
      out[n] = points[position++];
      out[n]->AddRef();
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    position = std::min(points.size(), position + count);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints**) override { return E_NOTIMPL; }
};

// An event source: a dispatch object with class information and a
// connection-point container, either of which can be refused.
class FakeEventSource : public IDispatch, public IProvideClassInfo, public IConnectionPointContainer {
 public:
  ULONG refs = 1;
  bool offersClassInfo = true;
  HRESULT containerRefusal = S_OK;    // a failing status: the container is refused with it
  FakeTypeInfo* classInfo = nullptr;  // what GetClassInfo gives; null: it fails
  FakeTypeInfo* ownInfo = nullptr;    // what IDispatch::GetTypeInfo gives; null: it fails
  std::vector<FakeConnectionPoint*> points;
  FakeEnumConnectionPoints enumerator;
  std::vector<IID> found;  // the ids FindConnectionPoint was asked for

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IConnectionPointContainer) && FAILED(containerRefusal)) {
      *ppv = nullptr;
      return containerRefusal;
    }
    if (!offersClassInfo && IsEqualIID(riid, IID_IProvideClassInfo)) return fake_com::Query(riid, ppv, {});
    return fake_com::Query(riid, ppv,
                           {{IID_IDispatch, static_cast<IDispatch*>(this)},
                            {IID_IProvideClassInfo, static_cast<IProvideClassInfo*>(this)},
                            {IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = ownInfo ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    *out = nullptr;
    if (index != 0 || !ownInfo) return DISP_E_BADINDEX;
    *out = ownInfo;
    ownInfo->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override {
    *out = classInfo;
    if (!classInfo) return E_FAIL;
    classInfo->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    enumerator.points = points;
    enumerator.position = points.size();  // the sink must Reset before reading
    enumerator.AddRef();
    *out = &enumerator;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    found.push_back(riid);
    *out = nullptr;
    for (FakeConnectionPoint* p : points)
      if (IsEqualIID(p->iid, riid)) {
        *out = p;
        p->AddRef();
        return S_OK;
      }
    return CONNECT_E_NOCONNECTION;
  }

  IDispatch* Dispatch() { return static_cast<IDispatch*>(this); }
};

// The simplest complete publisher: class information naming one default
// source interface with the given events, and its connection point.
struct FakePublisher {
  FakeTypeInfo events, coclass;
  FakeConnectionPoint point;
  FakeEventSource source;

  FakePublisher(const IID& iid, std::vector<FakeFunction> functions) {
    events.guid = iid;
    events.functions = std::move(functions);
    coclass.kind = TKIND_COCLASS;
    coclass.impls = {{IMPLTYPEFLAG_FSOURCE | IMPLTYPEFLAG_FDEFAULT, &events}};
    point.iid = iid;
    source.classInfo = &coclass;
    source.points = {&point};
  }
  FakePublisher(const FakePublisher&) = delete;
  FakePublisher& operator=(const FakePublisher&) = delete;
};

// A dispatch collection of event sources: Count and Item(1-based), as a
// store collection answers them; an item may be made to fail.
class FakeSourceCollection : public IDispatch {
 public:
  ULONG refs = 1;
  std::vector<IDispatch*> items;
  std::vector<bool> itemFails;  // same index as items

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_IDispatch, static_cast<IDispatch*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    *out = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    const QString name = QString::fromUtf16(names[0]);
    if (count != 1) return E_INVALIDARG;
    if (name.compare(u"Count", Qt::CaseInsensitive) == 0) ids[0] = 1;
    else if (name.compare(u"Item", Qt::CaseInsensitive) == 0) ids[0] = 2;
    else return DISP_E_UNKNOWNNAME;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    if (id == 1) {
      result->vt = VT_I4;
      result->lVal = LONG(items.size());
      return S_OK;
    }
    if (id != 2 || params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
    const VARIANT& index = params->rgvarg[params->cArgs - 1];
    if (index.vt != VT_I4 || index.lVal < 1 || size_t(index.lVal) > items.size()) return DISP_E_BADINDEX;
    const size_t i = size_t(index.lVal - 1);
    if (i < itemFails.size() && itemFails[i]) return E_FAIL;
    result->vt = VT_DISPATCH;
    result->pdispVal = items[i];
    items[i]->AddRef();
    return S_OK;
  }
};

}  // namespace testing_fakes
