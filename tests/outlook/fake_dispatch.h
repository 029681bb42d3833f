#pragma once
// FakeDispatch: a hand-written automation object for unit tests. It accepts
// every member name, records each invocation (flags, arguments in
// declaration order, named arguments) and answers with a result or a
// failure set per member name. It answers QueryInterface for IUnknown,
// IDispatch and any interface id added to `interfaces`.

#include <oaidl.h>
#include <oleauto.h>

#include <QString>

#include <map>
#include <string>
#include <vector>

#include "outlook/variant.h"
#include "tests/support/fake_com.h"

namespace testing_fakes {

struct Invocation {
  QString name;
  WORD flags = 0;
  std::vector<outlook::Variant> args;  // declaration order; for a put, without the value
  bool hasPutValue = false;
  outlook::Variant putValue;
  std::vector<DISPID> namedArgs;
};

struct Failure {
  HRESULT status = E_FAIL;
  QString description;       // empty: a plain failing status, no EXCEPINFO
  SCODE scode = 0;           // EXCEPINFO.scode when description is set
  bool deferred = false;     // fill EXCEPINFO through pfnDeferredFillIn
};

class FakeDispatch : public IDispatch {
 public:
  ULONG refs = 1;  // the creator's reference; the object is never freed by Release
  std::vector<IID> interfaces;
  std::map<QString, outlook::Variant> results;
  std::map<QString, Failure> failures;
  std::vector<Invocation> calls;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_IDispatch, static_cast<IDispatch*>(this)}}, interfaces);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return E_INVALIDARG;
    const QString name = QString::fromUtf16(names[0]);
    if (name == QStringLiteral("NoSuchMember")) {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == name) {
        ids[0] = DISPID(i + 1);
        return S_OK;
      }
    names_.push_back(name);
    ids[0] = DISPID(names_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT*) override {
    if (id < 1 || size_t(id) > names_.size()) return DISP_E_MEMBERNOTFOUND;
    Invocation call;
    call.name = names_[size_t(id - 1)];
    call.flags = flags;
    for (UINT i = 0; i < params->cNamedArgs; ++i) call.namedArgs.push_back(params->rgdispidNamedArgs[i]);
    UINT positional = params->cArgs;
    if (flags & DISPATCH_PROPERTYPUT) {
      call.hasPutValue = true;
      call.putValue = outlook::Variant::Copy(params->rgvarg[0]);
    }
    const UINT first = call.hasPutValue ? 1 : 0;
    for (UINT i = positional; i > first; --i) call.args.push_back(outlook::Variant::Copy(params->rgvarg[i - 1]));
    calls.push_back(call);

    if (auto f = failures.find(call.name); f != failures.end()) {
      if (f->second.description.isEmpty()) return f->second.status;
      *exception = EXCEPINFO{};
      pending_ = f->second;
      if (f->second.deferred) {
        exception->pfnDeferredFillIn = &FakeDispatch::FillIn;
        deferredTarget_ = this;
      } else {
        Fill(exception);
      }
      return DISP_E_EXCEPTION;
    }
    if (result) {
      auto r = results.find(call.name);
      if (r != results.end()) VariantCopy(result, &r->second.Raw());
    }
    return S_OK;
  }

  const Invocation& Last() const { return calls.back(); }

 private:
  void Fill(EXCEPINFO* e) const {
    e->bstrSource = SysAllocString(u"FakeDispatch");
    e->bstrDescription = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(pending_.description.utf16()),
                                           UINT(pending_.description.size()));
    e->scode = pending_.scode;
  }
  static HRESULT STDAPICALLTYPE FillIn(EXCEPINFO* e) {
    deferredTarget_->Fill(e);
    e->pfnDeferredFillIn = nullptr;
    return S_OK;
  }

  std::vector<QString> names_;
  Failure pending_;
  static inline FakeDispatch* deferredTarget_ = nullptr;
};

}  // namespace testing_fakes
