#include "outlook/dispatch_ref.h"

#include <oleauto.h>

#include <string>

namespace outlook {

quint64 DispatchRef::invokeCount_ = 0;
namespace {

// Frees what a server put into an EXCEPINFO.
struct ExcepInfoHolder {
  EXCEPINFO info{};
  ~ExcepInfoHolder() {
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
};

}  // namespace

DispatchRef DispatchRef::Adopt(IDispatch* object) {
  DispatchRef r;
  r.p_ = ComPtr<IDispatch>::Adopt(object);
  return r;
}

DISPID DispatchRef::IdOfName(QStringView name) const {
  if (!p_)
    throw ComError(E_POINTER, QStringLiteral("Member \"%1\" used on an empty object reference").arg(name));
  std::u16string text(reinterpret_cast<const char16_t*>(name.utf16()), size_t(name.size()));
  LPOLESTR names[1] = {text.data()};
  DISPID id = DISPID_UNKNOWN;
  const HRESULT hr = p_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr))
    throw ComError(hr, QStringLiteral("Member \"%1\" not found (status 0x%2)").arg(name, HexStatus(hr)));
  return id;
}

DispatchRef DispatchRef::QueryInterface(REFIID iid) const {
  if (!p_) throw ComError(E_POINTER, QStringLiteral("Interface cast of an empty object reference"));
  HRESULT hr = S_OK;
  ComPtr<IDispatch> other = p_.As<IDispatch>(iid, &hr);
  if (!other) throw InterfaceCastError();
  DispatchRef r;
  r.p_ = std::move(other);
  return r;
}

void DispatchRef::Put(QStringView name, const Variant& value) const {
  InvokeByName(name, DISPATCH_PROPERTYPUT, {}, &value);
}

void DispatchRef::PutIndexed(QStringView name, const std::vector<Variant>& index, const Variant& value) const {
  InvokeByName(name, DISPATCH_PROPERTYPUT, index, &value);
}

Variant DispatchRef::Invoke(QStringView name, WORD flags, const std::vector<Variant>& args) const {
  return InvokeByName(name, flags, args, nullptr);
}

Variant DispatchRef::InvokeByName(QStringView name, WORD flags, const std::vector<Variant>& args,
                                  const Variant* putValue) const {
  ++invokeCount_;
  const DISPID id = IdOfName(name);

  // COM lists the arguments last first; a property's new value comes first
  // of all, as the one named argument DISPID_PROPERTYPUT. The VARIANTs are
  // bitwise views of args: the callee does not own in-arguments.
  std::vector<VARIANT> raw;
  raw.reserve(args.size() + 1);
  if (putValue) raw.push_back(putValue->Raw());
  for (auto it = args.rbegin(); it != args.rend(); ++it) raw.push_back(it->Raw());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{raw.empty() ? nullptr : raw.data(), putValue ? &putId : nullptr, UINT(raw.size()),
                    putValue ? 1u : 0u};

  Variant result;
  ExcepInfoHolder exception;
  UINT argErr = 0;
  const HRESULT hr = p_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                putValue ? nullptr : result.Receive(), &exception.info, &argErr);
  if (SUCCEEDED(hr)) return result;

  HRESULT status = hr;
  QString description;
  if (hr == DISP_E_EXCEPTION) {
    if (exception.info.pfnDeferredFillIn) exception.info.pfnDeferredFillIn(&exception.info);
    if (FAILED(exception.info.scode)) status = exception.info.scode;
    description = BstrToQString(exception.info.bstrDescription).trimmed();
  }
  if (description.isEmpty())
    description = QStringLiteral("Call of \"%1\" failed (status 0x%2)").arg(name, HexStatus(status));
  throw ComError(status, description);
}

}  // namespace outlook
