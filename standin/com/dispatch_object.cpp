#include "standin/com/dispatch_object.h"

#include <oleauto.h>

#include "standin/store/store_watcher.h"

#include <cstring>
#include <new>

namespace vasnik::com {

namespace {

std::atomic<long> g_live{0};

bool IsOmitted(const VARIANT& v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

// A variant passed by reference through VT_BYREF | VT_VARIANT, followed.
const VARIANT* Followed(const VARIANT* v) {
  while (v && v->vt == (VT_BYREF | VT_VARIANT)) v = v->pvarVal;
  return v;
}

// Bytes a scalar of that type takes in the VARIANT's value union.
size_t ValueSize(VARTYPE type) {
  switch (type) {
    case VT_I1: case VT_UI1:
      return 1;
    case VT_I2: case VT_UI2: case VT_BOOL:
      return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
      return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY:
      return 8;
    case VT_BSTR: case VT_DISPATCH: case VT_UNKNOWN:
      return sizeof(void*);
    default:
      return 0;
  }
}

// A by-value view of v: a scalar passed by reference (VT_BYREF | VT_I4, ...)
// becomes the scalar itself. The view owns nothing. False when v is a
// reference to something that is not a scalar.
bool ByValue(const VARIANT& v, VARIANT* view) {
  VariantInit(view);
  if (!(v.vt & VT_BYREF)) {
    *view = v;
    return true;
  }
  const VARTYPE type = VARTYPE(v.vt & ~VT_BYREF);
  const size_t size = ValueSize(type);
  if (size == 0 || !v.byref) return false;
  view->vt = type;
  std::memcpy(&view->llVal, v.byref, size);
  return true;
}

}  // namespace

// ---- DispatchError, ComValue -------------------------------------------------------------

DispatchError::DispatchError(HRESULT status, int argument, const char* what)
    : std::runtime_error(what), status_(status), argument_(argument) {}

ComValue::ComValue() { VariantInit(&v_); }
ComValue::ComValue(ComValue&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
ComValue& ComValue::operator=(ComValue&& other) noexcept {
  if (this != &other) {
    VariantClear(&v_);
    v_ = other.v_;
    VariantInit(&other.v_);
  }
  return *this;
}
ComValue::~ComValue() { VariantClear(&v_); }

ComValue ComValue::Int(int value) {
  ComValue r;
  r.v_.vt = VT_I4;
  r.v_.lVal = value;
  return r;
}

ComValue ComValue::Bool(bool value) {
  ComValue r;
  r.v_.vt = VT_BOOL;
  r.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return r;
}

ComValue ComValue::Date(double oleDate) {
  ComValue r;
  r.v_.vt = VT_DATE;
  r.v_.date = oleDate;
  return r;
}

ComValue ComValue::Text(const QString& text) {
  ComValue r;
  r.v_.bstrVal = ToBstr(text);
  if (!r.v_.bstrVal) throw std::bad_alloc();
  r.v_.vt = VT_BSTR;
  return r;
}

ComValue ComValue::Object(IDispatch* fresh) {
  ComValue r;
  r.v_.vt = VT_DISPATCH;
  r.v_.pdispVal = fresh;
  return r;
}

ComValue ComValue::Nothing() { return Object(nullptr); }

void ComValue::MoveTo(VARIANT* out) {
  *out = v_;
  VariantInit(&v_);
}

// ---- Args ----------------------------------------------------------------------------------

Args::Args(const DISPPARAMS& params, bool put) : params_(params) {
  if (put) {
    // A write's value is the one named argument, DISPID_PROPERTYPUT, and
    // named arguments come first in rgvarg.
    if (params.cArgs < 1 || params.cNamedArgs != 1 || !params.rgdispidNamedArgs ||
        params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      throw DispatchError(DISP_E_PARAMNOTFOUND, -1, "a property write without its value");
    offset_ = 1;
  } else if (params.cNamedArgs != 0) {
    throw DispatchError(DISP_E_NONAMEDARGS, -1, "named arguments are not supported");
  }
  if (params.cArgs > 0 && !params.rgvarg) throw DispatchError(E_INVALIDARG, -1, "no argument array");
  count_ = int(params.cArgs) - offset_;
}

int Args::Position(int index) const { return int(params_.cArgs) - 1 - index; }

const VARIANT* Args::At(int index) const {
  if (index < 0 || index >= count_) return nullptr;
  const VARIANT* v = Followed(&params_.rgvarg[Position(index)]);
  return v && !IsOmitted(*v) ? v : nullptr;
}

bool Args::Given(int index) const { return At(index) != nullptr; }

VARIANT Args::Converted(const VARIANT& value, VARTYPE type, int position) const {
  VARIANT view;
  VARIANT out;
  VariantInit(&out);
  if (!ByValue(value, &view)) throw DispatchError(DISP_E_TYPEMISMATCH, position, "argument of unsupported type");
  const HRESULT hr = VariantChangeType(&out, &view, 0, type);
  if (FAILED(hr))
    throw DispatchError(hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH, position,
                        "argument does not convert");
  return out;
}

namespace {
QString TakeText(VARIANT& v) {
  QString text = FromBstr(v.bstrVal);
  VariantClear(&v);
  return text;
}
}  // namespace

QString Args::Text(int index) const {
  const VARIANT* v = At(index);
  if (!v) throw DispatchError(DISP_E_PARAMNOTOPTIONAL, index < count_ ? Position(index) : -1, "argument missing");
  VARIANT text = Converted(*v, VT_BSTR, Position(index));
  return TakeText(text);
}

QString Args::Text(int index, const QString& fallback) const { return Given(index) ? Text(index) : fallback; }

int Args::Int(int index) const {
  const VARIANT* v = At(index);
  if (!v) throw DispatchError(DISP_E_PARAMNOTOPTIONAL, index < count_ ? Position(index) : -1, "argument missing");
  return Converted(*v, VT_I4, Position(index)).lVal;
}

int Args::Int(int index, int fallback) const { return Given(index) ? Int(index) : fallback; }

bool Args::Bool(int index, bool fallback) const {
  const VARIANT* v = At(index);
  if (!v) return fallback;
  return Converted(*v, VT_BOOL, Position(index)).boolVal != VARIANT_FALSE;
}

bool Args::IsNonNumericText(int index) const {
  const VARIANT* v = At(index);
  VARIANT view;
  if (!v || !ByValue(*v, &view) || view.vt != VT_BSTR) return false;
  VARIANT number;
  VariantInit(&number);
  return FAILED(VariantChangeType(&number, &view, 0, VT_I4));
}

QString Args::ValueText() const {
  VARIANT text = Converted(*Followed(&params_.rgvarg[0]), VT_BSTR, 0);
  return TakeText(text);
}

int Args::ValueInt() const { return Converted(*Followed(&params_.rgvarg[0]), VT_I4, 0).lVal; }

bool Args::ValueBool() const {
  return Converted(*Followed(&params_.rgvarg[0]), VT_BOOL, 0).boolVal != VARIANT_FALSE;
}

double Args::ValueDate() const { return Converted(*Followed(&params_.rgvarg[0]), VT_DATE, 0).date; }

// ---- MemberTable -----------------------------------------------------------------------------

void MemberTable::Insert(Member member) {
  byName_.insert(member.name.toLower(), members_.size());
  members_.push_back(std::move(member));
}

const MemberTable::Member* MemberTable::ById(DISPID id) const {
  for (const Member& m : members_)
    if (m.id == id) return &m;
  return nullptr;
}

const MemberTable::Member* MemberTable::ByName(const QString& name) const {
  const auto it = byName_.constFind(name.toLower());
  return it == byName_.constEnd() ? nullptr : &members_[*it];
}

// ---- DispatchObject ----------------------------------------------------------------------------

DispatchObject::DispatchObject(const MemberTable& members, std::span<const IID> extra)
    : members_(members), extra_(extra) {
  ++g_live;
}

DispatchObject::~DispatchObject() { --g_live; }

long DispatchObject::LiveCount() { return g_live; }
void DispatchObject::AddModuleLock() { ++g_live; }
void DispatchObject::ReleaseModuleLock() { --g_live; }

HRESULT DispatchObject::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  bool ours = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch);
  for (const IID& iid : extra_) ours = ours || IsEqualIID(riid, iid);
  if (ours) {
    *ppvObject = static_cast<IDispatch*>(this);
  } else {
    try {
      *ppvObject = OtherInterface(riid);
    } catch (...) {
      *ppvObject = nullptr;
    }
    if (!*ppvObject) return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG DispatchObject::AddRef() { return ++refs_; }

ULONG DispatchObject::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT DispatchObject::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = TypeInfo() ? 1 : 0;
  return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  ITypeInfo* info = TypeInfo();
  if (iTInfo != 0 || !info) return DISP_E_BADINDEX;
  info->AddRef();
  *ppTInfo = info;
  return S_OK;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (cNames == 0) return S_OK;
  if (!rgszNames || !rgDispId) return E_POINTER;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  try {
    const MemberTable::Member* member = rgszNames[0] ? members_.ByName(QString::fromUtf16(rgszNames[0])) : nullptr;
    if (!member) return DISP_E_UNKNOWNNAME;
    rgDispId[0] = member->id;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  // Names after the first would name parameters; no member takes named
  // arguments.
  return cNames > 1 ? DISP_E_UNKNOWNNAME : S_OK;
}

HRESULT DispatchObject::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                               VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!pDispParams) return E_POINTER;
  const MemberTable::Member* member = members_.ById(dispIdMember);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  const bool read = wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  const bool write = !read && (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF));
  if ((read && !member->get) || (write && !member->put) || (!read && !write)) return DISP_E_MEMBERNOTFOUND;

  // The self-reference keeps the object alive while a handler runs, should
  // the call release the caller's last reference (a nested event loop).
  // Store events wait while a call runs, even one that runs an event loop.
  AddRef();
  HRESULT status;
  {
    const LibraryCallScope call;
    status = Dispatch(*member, write, *pDispParams, pVarResult, pExcepInfo, puArgErr);
  }
  Release();
  return status;
}

HRESULT DispatchObject::Dispatch(const MemberTable::Member& member, bool write, const DISPPARAMS& params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept try {
  HRESULT status = S_OK;
  QString description;
  SCODE code = E_FAIL;
  try {
    const Args args(params, write);
    if (args.Count() > member.arity) throw DispatchError(DISP_E_BADPARAMCOUNT, -1, "too many arguments");
    if (write) {
      member.put(*this, args);
    } else {
      ComValue value = member.get(*this, args);
      if (result) value.MoveTo(result);
    }
  } catch (const DispatchError& e) {
    status = e.Status();
    if (argumentError && e.Argument() >= 0) *argumentError = UINT(e.Argument());
  } catch (const std::bad_alloc&) {
    status = DISP_E_EXCEPTION;
    code = E_OUTOFMEMORY;
    description = QStringLiteral("out of memory");
  } catch (const std::exception& e) {
    // The engine's StoreError among them: its message is the description.
    status = DISP_E_EXCEPTION;
    description = QString::fromUtf8(e.what());
  } catch (...) {
    status = DISP_E_EXCEPTION;
    description = QStringLiteral("unknown error");
  }
  if (status == DISP_E_EXCEPTION && exception) {
    *exception = EXCEPINFO{};
    exception->bstrSource = SysAllocString(u"vasnik");
    exception->bstrDescription = ToBstr(description);
    exception->scode = code;
  }
  return status;
} catch (...) {
  // Only the handlers above can get here, when the message cannot be copied.
  return E_OUTOFMEMORY;
}

// ---- BSTR ---------------------------------------------------------------------------------------

QString FromBstr(BSTR text) {
  return text ? QString::fromUtf16(text, qsizetype(SysStringLen(text))) : QString();
}

BSTR ToBstr(const QString& text) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.utf16()), UINT(text.size()));
}

}  // namespace vasnik::com
