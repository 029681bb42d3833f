#include "outlook/com_events.h"

#include <oleauto.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "outlook/com_error.h"

namespace outlook {
namespace {

// At most this many connection points are fetched when the source has no
// class information; any further one is never looked at.
constexpr ULONG kMaxConnectionPoints = 10;

// The members of IUnknown and IDispatch. A type library may list them among
// a dispatch interface's functions, but they are never events.
constexpr std::array<QStringView, 7> kNotEvents = {
    u"AddRef", u"GetIDsOfNames", u"GetTypeInfo", u"GetTypeInfoCount", u"Invoke", u"QueryInterface", u"Release"};

bool IsNotAnEvent(const QString& name) {
  return std::any_of(kNotEvents.begin(), kNotEvents.end(),
                     [&](QStringView n) { return n.compare(name, Qt::CaseInsensitive) == 0; });
}

// A type's attributes, released with the type information they came from.
class TypeAttr {
 public:
  explicit TypeAttr(ITypeInfo& info) : info_(info) {
    if (FAILED(info_.GetTypeAttr(&attr_))) attr_ = nullptr;
  }
  ~TypeAttr() {
    if (attr_) info_.ReleaseTypeAttr(attr_);
  }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
  explicit operator bool() const { return attr_ != nullptr; }
  const TYPEATTR* operator->() const { return attr_; }

 private:
  ITypeInfo& info_;
  TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
 public:
  FuncDesc(ITypeInfo& info, UINT index) : info_(info) {
    if (FAILED(info_.GetFuncDesc(index, &desc_))) desc_ = nullptr;
  }
  ~FuncDesc() {
    if (desc_) info_.ReleaseFuncDesc(desc_);
  }
  FuncDesc(const FuncDesc&) = delete;
  FuncDesc& operator=(const FuncDesc&) = delete;
  explicit operator bool() const { return desc_ != nullptr; }
  const FUNCDESC* operator->() const { return desc_; }

 private:
  ITypeInfo& info_;
  FUNCDESC* desc_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  ~Bstr() { SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Receive() { return &text_; }
  QString Text() const { return BstrToQString(text_); }

 private:
  BSTR text_ = nullptr;
};

}  // namespace

TComEvents::TComEvents(const Variant& obj) : FGuid(IID_IUnknown), FObj(obj) {
  // A null dispatch reference holds no interface either.
  if (FObj.Type() != VT_DISPATCH || !Source())
    throw ComError(DISP_E_UNKNOWNINTERFACE, QStringLiteral("Unknown interface"));

  HRESULT status = S_OK;
  const ComPtr<IConnectionPointContainer> container =
      ComPtr<IDispatch>(Source()).As<IConnectionPointContainer>(IID_IConnectionPointContainer, &status);
  if (!container)
    throw ComError(status, QStringLiteral("The event source has no connection points (status %1)").arg(HexStatus(status)));

  // A source without a usable event interface still gets its sink: an inert
  // one, so its owner need not tell the two apart.
  if (!DiscoverByClassInfo(*container.Get())) DiscoverByEnumeration(*container.Get());
}

TComEvents::~TComEvents() {
  if (FCP) {
    try {
      if (FSinked) FCP->Unadvise(FCookie);
    } catch (...) {
      // A source that throws across the interface is not ours to mend; the
      // sink goes away all the same.
    }
    FSinked = false;
    FCP.Reset();
  }
  FEvents.clear();
  FEventIDs.clear();
  FObj = Variant();
}

bool TComEvents::DiscoverByClassInfo(IConnectionPointContainer& container) {
  const ComPtr<IProvideClassInfo> provider = ComPtr<IDispatch>(Source()).As<IProvideClassInfo>(IID_IProvideClassInfo);
  if (!provider) return false;
  ComPtr<ITypeInfo> classInfo;
  if (FAILED(provider->GetClassInfo(classInfo.Receive())) || !classInfo) return false;
  UINT implemented = 0;
  {
    const TypeAttr attr(*classInfo.Get());
    if (!attr) return false;
    implemented = attr->cImplTypes;
  }

  constexpr INT kDefaultSource = IMPLTYPEFLAG_FSOURCE | IMPLTYPEFLAG_FDEFAULT;
  for (UINT i = 0; i < implemented; ++i) {
    INT flags = 0;
    if (FAILED(classInfo->GetImplTypeFlags(i, &flags))) continue;
    if ((flags & kDefaultSource) != kDefaultSource) continue;

    // The first default source interface decides; no other is looked at.
    HREFTYPE ref = 0;
    if (FAILED(classInfo->GetRefTypeOfImplType(i, &ref))) return false;
    ComPtr<ITypeInfo> events;
    if (FAILED(classInfo->GetRefTypeInfo(ref, events.Receive())) || !events) return false;
    const TypeAttr attr(*events.Get());
    if (!attr) return false;
    FGuid = attr->guid;
    CollectEventNames(*events.Get(), attr->cFuncs);
    if (container.FindConnectionPoint(FGuid, FCP.Receive()) == S_OK && FCP) return true;
    FCP.Reset();
    return false;
  }
  return false;
}

bool TComEvents::DiscoverByEnumeration(IConnectionPointContainer& container) {
  ComPtr<IEnumConnectionPoints> enumerator;
  if (FAILED(container.EnumConnectionPoints(enumerator.Receive())) || !enumerator) return false;
  enumerator->Reset();
  std::array<IConnectionPoint*, kMaxConnectionPoints> raw{};
  ULONG fetched = 0;
  if (FAILED(enumerator->Next(kMaxConnectionPoints, raw.data(), &fetched))) fetched = 0;
  // Every fetched point is released on leaving, but the one kept in FCP.
  std::vector<ComPtr<IConnectionPoint>> points;
  for (ULONG i = 0; i < std::min(fetched, kMaxConnectionPoints); ++i)
    if (raw[i]) points.push_back(ComPtr<IConnectionPoint>::Adopt(raw[i]));
  if (points.empty()) return false;

  ComPtr<ITypeInfo> own;
  if (FAILED(Source()->GetTypeInfo(0, LOCALE_SYSTEM_DEFAULT, own.Receive())) || !own) return false;
  ComPtr<ITypeLib> library;
  UINT index = 0;
  if (FAILED(own->GetContainingTypeLib(library.Receive(), &index)) || !library) return false;

  for (const ComPtr<IConnectionPoint>& point : points) {
    IID iid;
    if (FAILED(point->GetConnectionInterface(&iid))) continue;
    ComPtr<ITypeInfo> info;
    if (FAILED(library->GetTypeInfoOfGuid(iid, info.Receive())) || !info) continue;
    const TypeAttr attr(*info.Get());
    if (!attr || attr->typekind != TKIND_DISPATCH) continue;
    FCP = point;
    FGuid = iid;
    CollectEventNames(*info.Get(), attr->cFuncs);
    return true;
  }
  return false;
}

void TComEvents::CollectEventNames(ITypeInfo& info, UINT functionCount) {
  // The names of one interface only: when the class information named an
  // interface it could not connect to, its names make way for those of the
  // interface found by enumeration, whose dispatch ids may overlap them.
  FEvents.clear();
  FEventIDs.clear();
  for (UINT i = 0; i < functionCount; ++i) {
    const FuncDesc desc(info, i);
    if (!desc) continue;
    Bstr name;
    if (FAILED(info.GetDocumentation(desc->memid, name.Receive(), nullptr, nullptr, nullptr))) continue;
    const QString text = name.Text();
    if (IsNotAnEvent(text)) continue;
    FEvents.append(text);
    FEventIDs.push_back(desc->memid);
  }
}

QString TComEvents::GetNames(int index) const {
  if (index < 0 || index >= FEvents.size()) throw std::out_of_range("TComEvents::GetNames: index out of range");
  return FEvents[index];
}

int TComEvents::GetIDs(int index) const { return int(FEventIDs.at(size_t(index))); }

void TComEvents::SetSinked(bool value) {
  if (!FCP || value == FSinked) return;
  if (value) {
    DWORD cookie = 0;
    if (FCP->Advise(static_cast<IDispatch*>(this), &cookie) == S_OK) {
      FCookie = cookie;
      FSinked = true;
    }
  } else if (FCP->Unadvise(FCookie) == S_OK) {
    FSinked = false;
  }
}

HRESULT TComEvents::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (IsEqualIID(riid, FGuid) || IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *ppvObject = static_cast<IDispatch*>(this);
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

HRESULT TComEvents::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo) *pctinfo = 0;
  return S_OK;
}

HRESULT TComEvents::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT TComEvents::GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* rgDispId) {
  if (rgDispId) std::fill(rgDispId, rgDispId + cNames, DISPID_UNKNOWN);
  return DISP_E_UNKNOWNNAME;
}

HRESULT TComEvents::Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT*, EXCEPINFO*,
                           UINT*) {
  if (!FEvent) return S_OK;
  const auto found = std::find(FEventIDs.begin(), FEventIDs.end(), dispIdMember);
  if (found == FEventIDs.end()) return S_OK;
  try {
    const QString name = FEvents.at(found - FEventIDs.begin());
    // COM lists the last declared argument first.
    const UINT n = pDispParams && pDispParams->rgvarg ? pDispParams->cArgs : 0;
    TVariantArray params;
    params.reserve(n);
    for (UINT i = 0; i < n; ++i) params.push_back(Variant::Copy(pDispParams->rgvarg[n - 1 - i]));
    // Copies, so that a handler that replaces the callback or frees the sink
    // in a nested message loop does not pull them from under itself.
    const TComEvent handler = FEvent;
    const Variant sender = FObj;
    handler(sender, name, int(dispIdMember), params);
  } catch (...) {
    // Logged by the exception hook when raised; the source gets no error.
  }
  return S_OK;
}

}  // namespace outlook
