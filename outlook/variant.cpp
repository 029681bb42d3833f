#include "outlook/variant.h"

#include <oleauto.h>

#include "outlook/com_error.h"
#include "outlook/dispatch_ref.h"

namespace outlook {
namespace {

const char* TypeName(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: return "empty";
    case VT_NULL: return "null";
    case VT_I4: return "integer";
    case VT_BOOL: return "boolean";
    case VT_BSTR: return "text";
    case VT_DISPATCH: return "object";
    case VT_UNKNOWN: return "interface";
    case VT_ERROR: return "error code";
    case VT_DATE: return "date";
    case VT_R8: return "double";
    default: return "variant";
  }
}

Variant Converted(const VARIANT& v, USHORT flags, VARTYPE vt, const char* target) {
  Variant out;
  const HRESULT hr = VariantChangeType(out.Receive(), &v, flags, vt);
  if (FAILED(hr))
    throw ComError(hr, QStringLiteral("Could not convert a %1 value to %2 (status 0x%3)")
                           .arg(QLatin1String(TypeName(v.vt)), QLatin1String(target), HexStatus(hr)));
  return out;
}

}  // namespace

QString BstrToQString(BSTR text) {
  if (!text) return QString();
  return QString::fromUtf16(text, qsizetype(SysStringLen(text)));
}

BSTR QStringToBstr(const QString& text) {
  BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.utf16()), UINT(text.size()));
  if (!b) throw ComError(E_OUTOFMEMORY, QStringLiteral("Out of memory for a text of %1 characters").arg(text.size()));
  return b;
}

Variant::Variant() { VariantInit(&v_); }

Variant::Variant(int value) : Variant() {
  v_.vt = VT_I4;
  v_.lVal = value;
}

Variant::Variant(bool value) : Variant() {
  v_.vt = VT_BOOL;
  v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

Variant::Variant(double value) : Variant() {
  v_.vt = VT_R8;
  v_.dblVal = value;
}

Variant::Variant(const QString& text) : Variant() {
  v_.bstrVal = QStringToBstr(text);
  v_.vt = VT_BSTR;
}

Variant::Variant(const char16_t* text) : Variant(QString::fromUtf16(text)) {}

Variant::Variant(const char* utf8) : Variant(QString::fromUtf8(utf8)) {}

Variant::Variant(const DispatchRef& object) : Variant() {
  v_.vt = VT_DISPATCH;
  v_.pdispVal = object.Interface();
  if (v_.pdispVal) v_.pdispVal->AddRef();
}

Variant::Variant(const Variant& other) : Variant() {
  const HRESULT hr = VariantCopy(&v_, &other.v_);
  if (FAILED(hr)) throw ComError(hr, QStringLiteral("Could not copy a variant (status 0x%1)").arg(HexStatus(hr)));
}

Variant::Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) *this = Variant(other);
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    VariantClear(&v_);
    v_ = other.v_;
    VariantInit(&other.v_);
  }
  return *this;
}

Variant::~Variant() { VariantClear(&v_); }

Variant Variant::Null() {
  Variant v;
  v.v_.vt = VT_NULL;
  return v;
}

Variant Variant::Error(SCODE code) {
  Variant v;
  v.v_.vt = VT_ERROR;
  v.v_.scode = code;
  return v;
}

Variant Variant::Copy(const VARIANT& raw) {
  Variant v;
  const HRESULT hr = VariantCopyInd(&v.v_, &raw);
  if (FAILED(hr)) throw ComError(hr, QStringLiteral("Could not copy a variant (status 0x%1)").arg(HexStatus(hr)));
  return v;
}

Variant Variant::Adopt(VARIANT& raw) {
  Variant v;
  v.v_ = raw;
  VariantInit(&raw);
  return v;
}

bool Variant::IsOmitted() const { return v_.vt == VT_ERROR && v_.scode == DISP_E_PARAMNOTFOUND; }

VARIANT* Variant::Receive() {
  VariantClear(&v_);
  return &v_;
}

QString Variant::ToString() const { return VariantToString(v_); }

int Variant::ToInt() const { return Converted(v_, 0, VT_I4, "an integer").Raw().lVal; }

double Variant::ToDouble() const { return Converted(v_, 0, VT_R8, "a number").Raw().dblVal; }

bool Variant::ToBool() const { return Converted(v_, 0, VT_BOOL, "a boolean").Raw().boolVal != VARIANT_FALSE; }

DispatchRef Variant::ToDispatch() const {
  const VARIANT& v = v_.vt == (VT_BYREF | VT_VARIANT) && v_.pvarVal ? *v_.pvarVal : v_;
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return DispatchRef();
    case VT_DISPATCH:
      return DispatchRef(v.pdispVal);
    default: {
      const Variant converted = Converted(v, 0, VT_DISPATCH, "an object");
      return DispatchRef(converted.Raw().pdispVal);
    }
  }
}

Variant Omitted() { return Variant::Error(DISP_E_PARAMNOTFOUND); }

QString VariantToString(const VARIANT& raw) {
  const VARIANT& v = raw.vt == (VT_BYREF | VT_VARIANT) && raw.pvarVal ? *raw.pvarVal : raw;
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) return QString();
  if (v.vt == VT_BSTR) return BstrToQString(v.bstrVal);
  return BstrToQString(Converted(v, VARIANT_ALPHABOOL, VT_BSTR, "text").Raw().bstrVal);
}

}  // namespace outlook
