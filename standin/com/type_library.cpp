#include "standin/com/type_library.h"

#include "standin/com/dispatch_object.h"

#include <oleauto.h>

#include <new>

namespace vasnik::com {

namespace {

// TYPEFLAG_FDISPATCHABLE of the SDK's TYPEFLAGS (oaidl.h leaves the enum out).
constexpr WORD kTypeFlagDispatchable = 0x1000;

// A reference held by a caller keeps the module loaded, as an object does.
class ModuleRefs {
 public:
  ULONG Add() {
    if (refs_++ == 0) DispatchObject::AddModuleLock();
    return refs_ + 1;
  }
  ULONG Drop() {
    if (refs_ > 0 && --refs_ == 0) DispatchObject::ReleaseModuleLock();
    return refs_ + 1;
  }

 private:
  ULONG refs_ = 0;
};

void SetText(BSTR* out, const QString& text) {
  if (out) *out = ToBstr(text);
}

}  // namespace

class TypeInfoObject final : public ITypeInfo {
 public:
  TypeInfoObject(TypeLibraryObject& library, int position, TypeDescription type)
      : library_(library), position_(position), type_(std::move(type)) {}

  const TypeDescription& Description() const { return type_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITypeInfo)) return E_NOINTERFACE;
    *ppvObject = static_cast<ITypeInfo*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return refs_.Drop(); }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override {
    if (!ppTypeAttr) return E_POINTER;
    auto* attr = new (std::nothrow) TYPEATTR{};
    if (!attr) return E_OUTOFMEMORY;
    attr->guid = type_.guid;
    attr->lcid = LOCALE_NEUTRAL;
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->typekind = type_.kind;
    attr->cFuncs = WORD(type_.functions.size());
    attr->cImplTypes = WORD(type_.implemented.size());
    attr->cbAlignment = WORD(alignof(void*));
    attr->cbSizeInstance = sizeof(void*);
    if (type_.kind == TKIND_DISPATCH) {
      attr->cbSizeVft = WORD(7 * sizeof(void*));  // IDispatch's seven slots
      attr->wTypeFlags = kTypeFlagDispatchable;
    }
    attr->wMajorVerNum = 1;
    *ppTypeAttr = attr;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
    if (!ppFuncDesc) return E_POINTER;
    *ppFuncDesc = nullptr;
    if (index >= type_.functions.size()) return TYPE_E_ELEMENTNOTFOUND;
    const FunctionDescription& function = type_.functions[index];
    auto* desc = new (std::nothrow) FUNCDESC{};
    if (!desc) return E_OUTOFMEMORY;
    desc->memid = function.id;
    desc->funckind = FUNC_DISPATCH;
    desc->invkind = function.invoke;
    desc->callconv = CC_STDCALL;
    desc->cParams = SHORT(function.parameters.size());
    desc->elemdescFunc.tdesc.vt = function.resultType;
    if (!function.parameters.empty()) {
      desc->lprgelemdescParam = new (std::nothrow) ELEMDESC[function.parameters.size()]{};
      if (!desc->lprgelemdescParam) {
        delete desc;
        return E_OUTOFMEMORY;
      }
      for (size_t i = 0; i < function.parameters.size(); ++i) {
        desc->lprgelemdescParam[i].tdesc.vt = function.parameterType;
        desc->lprgelemdescParam[i].paramdesc.wParamFlags = 1;  // PARAMFLAG_FIN
      }
    }
    *ppFuncDesc = desc;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override {
    if (!pFuncDesc) return;
    delete[] pFuncDesc->lprgelemdescParam;
    delete pFuncDesc;
  }

  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override {
    if (!pcNames || (cMaxNames > 0 && !rgBstrNames)) return E_POINTER;
    *pcNames = 0;
    const FunctionDescription* function = ById(memid);
    if (!function) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<QString> names{function->name};
    names.insert(names.end(), function->parameters.begin(), function->parameters.end());
    UINT count = 0;
    for (; count < cMaxNames && count < names.size(); ++count) rgBstrNames[count] = ToBstr(names[count]);
    *pcNames = count;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
    QString name;
    QString documentation;
    if (memid == MEMBERID_NIL) {
      name = type_.name;
      documentation = type_.documentation;
    } else if (const FunctionDescription* function = ById(memid)) {
      name = function->name;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    SetText(pBstrName, name);
    SetText(pBstrDocString, documentation);
    if (pdwHelpContext) *pdwHelpContext = 0;
    if (pBstrHelpFile) *pBstrHelpFile = nullptr;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
    if (cNames == 0) return S_OK;
    if (!rgszNames || !pMemId || !rgszNames[0]) return E_POINTER;
    for (UINT i = 0; i < cNames; ++i) pMemId[i] = MEMBERID_NIL;
    const QString wanted = QString::fromUtf16(rgszNames[0]);
    for (const FunctionDescription& function : type_.functions) {
      if (function.name.compare(wanted, Qt::CaseInsensitive) != 0) continue;
      pMemId[0] = function.id;
      // Further names are the member's parameters; each gets its position.
      bool all = true;
      for (UINT i = 1; i < cNames; ++i) {
        const QString parameter = rgszNames[i] ? QString::fromUtf16(rgszNames[i]) : QString();
        for (size_t p = 0; p < function.parameters.size(); ++p)
          if (function.parameters[p].compare(parameter, Qt::CaseInsensitive) == 0) pMemId[i] = MEMBERID(p);
        all = all && pMemId[i] != MEMBERID_NIL;
      }
      return all ? S_OK : DISP_E_UNKNOWNNAME;
    }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override {
    if (!pRefType) return E_POINTER;
    if (index >= type_.implemented.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = HREFTYPE(type_.implemented[index].type);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override {
    if (!pImplTypeFlags) return E_POINTER;
    if (index >= type_.implemented.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = type_.implemented[index].flags;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

 private:
  const FunctionDescription* ById(MEMBERID memid) const {
    for (const FunctionDescription& function : type_.functions)
      if (function.id == memid) return &function;
    return nullptr;
  }

  TypeLibraryObject& library_;
  int position_;
  TypeDescription type_;
  ModuleRefs refs_;
};

class TypeLibraryObject final : public ITypeLib {
 public:
  TypeLibraryObject(GUID guid, QString name, QString documentation, std::vector<TypeDescription> types)
      : guid_(guid), name_(std::move(name)), documentation_(std::move(documentation)) {
    for (TypeDescription& type : types)
      types_.push_back(std::make_unique<TypeInfoObject>(*this, int(types_.size()), std::move(type)));
  }

  TypeInfoObject* At(size_t position) const { return position < types_.size() ? types_[position].get() : nullptr; }
  int Find(const GUID& guid) const {
    for (size_t i = 0; i < types_.size(); ++i)
      if (IsEqualGUID(types_[i]->Description().guid, guid)) return int(i);
    return -1;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITypeLib)) return E_NOINTERFACE;
    *ppvObject = static_cast<ITypeLib*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return refs_.Drop(); }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return UINT(types_.size()); }

  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = At(index);
    if (!*ppTInfo) return TYPE_E_ELEMENTNOTFOUND;
    (*ppTInfo)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
    if (!pTKind) return E_POINTER;
    const TypeInfoObject* type = At(index);
    if (!type) return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = type->Description().kind;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
    if (!ppTinfo) return E_POINTER;
    const int position = Find(guid);
    *ppTinfo = position < 0 ? nullptr : At(size_t(position));
    if (!*ppTinfo) return TYPE_E_ELEMENTNOTFOUND;
    (*ppTinfo)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override {
    if (!ppTLibAttr) return E_POINTER;
    auto* attr = new (std::nothrow) TLIBATTR{};
    if (!attr) return E_OUTOFMEMORY;
    attr->guid = guid_;
    attr->lcid = LOCALE_NEUTRAL;
    // non-Windows: the SDK's SYSKIND names Windows targets only; the one
    // of the same pointer width is given.
    attr->syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    attr->wMajorVerNum = 1;
    *ppTLibAttr = attr;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
    if (index == -1) {
      SetText(pBstrName, name_);
      SetText(pBstrDocString, documentation_);
      if (pdwHelpContext) *pdwHelpContext = 0;
      if (pBstrHelpFile) *pBstrHelpFile = nullptr;
      return S_OK;
    }
    TypeInfoObject* type = index >= 0 ? At(size_t(index)) : nullptr;
    if (!type) return TYPE_E_ELEMENTNOTFOUND;
    return type->GetDocumentation(MEMBERID_NIL, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
  }

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override { return E_NOTIMPL; }

 private:
  GUID guid_;
  QString name_;
  QString documentation_;
  std::vector<std::unique_ptr<TypeInfoObject>> types_;
  ModuleRefs refs_;
};

HRESULT TypeInfoObject::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = library_.At(hRefType);
  if (!*ppTInfo) return TYPE_E_ELEMENTNOTFOUND;
  (*ppTInfo)->AddRef();
  return S_OK;
}

HRESULT TypeInfoObject::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
  if (!ppTLib) return E_POINTER;
  library_.AddRef();
  *ppTLib = &library_;
  if (pIndex) *pIndex = UINT(position_);
  return S_OK;
}

TypeLibrary::TypeLibrary(GUID guid, QString name, QString documentation, std::vector<TypeDescription> types)
    : object_(std::make_unique<TypeLibraryObject>(guid, std::move(name), std::move(documentation), std::move(types))) {}

TypeLibrary::~TypeLibrary() = default;

ITypeLib* TypeLibrary::Lib() const { return object_.get(); }
ITypeInfo* TypeLibrary::Type(int position) const { return position < 0 ? nullptr : object_->At(size_t(position)); }
int TypeLibrary::Find(const GUID& guid) const { return object_->Find(guid); }

}  // namespace vasnik::com
