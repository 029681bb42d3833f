// VARIANT handling: initialisation, release, copy and the conversions the
// program needs (to and from text, integers, booleans, doubles, dates and
// interface references). Conversions follow what oleaut32 does under the
// en-US locale; unsupported pairs answer DISP_E_TYPEMISMATCH.

#include <oleauto.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

bool IsKnownType(VARTYPE vt) {
  if (vt == (VT_BYREF | VT_VARIANT)) return true;
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
    case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

BSTR BstrFromAscii(const std::string& text) {
  BSTR b = SysAllocStringLen(nullptr, UINT(text.size()));
  if (!b) return nullptr;
  for (size_t i = 0; i < text.size(); ++i) b[i] = OLECHAR(static_cast<unsigned char>(text[i]));
  return b;
}

// ---- numbers -------------------------------------------------------------------

// Text to a double the way VarR8FromStr accepts it in en-US: blanks around,
// a sign, digits with an optional "." fraction and exponent. Thousands
// separators and currency are not accepted.
HRESULT ParseNumber(BSTR text, double* out) {
  const UINT len = SysStringLen(text);
  std::string narrow;
  narrow.reserve(len);
  for (UINT i = 0; i < len; ++i) {
    const OLECHAR c = text[i];
    if (c > 0x7F) return DISP_E_TYPEMISMATCH;
    narrow.push_back(char(c));
  }
  const size_t first = narrow.find_first_not_of(" \t");
  if (first == std::string::npos) return DISP_E_TYPEMISMATCH;
  const size_t last = narrow.find_last_not_of(" \t");
  narrow = narrow.substr(first, last - first + 1);
  for (char c : narrow)
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
      return DISP_E_TYPEMISMATCH;  // keeps strtod's "inf", "nan" and hex forms out
  char* end = nullptr;
  const double value = std::strtod(narrow.c_str(), &end);
  if (end != narrow.c_str() + narrow.size()) return DISP_E_TYPEMISMATCH;
  if (!std::isfinite(value)) return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

// Rounds half to even, as oleaut32 does for every float-to-integer conversion.
double RoundHalfEven(double value) {
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(value);
  std::fesetround(saved);
  return r;
}

bool IsCaseInsensitive(BSTR text, const char* word) {
  // Blanks around the word are allowed, as VarBoolFromStr allows them.
  const UINT len = SysStringLen(text);
  UINT begin = 0, end = len;
  while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) ++begin;
  while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t')) --end;
  size_t i = 0;
  for (; word[i]; ++i) {
    if (begin + i >= end) return false;
    OLECHAR c = text[begin + i];
    if (c >= u'A' && c <= u'Z') c = OLECHAR(c - u'A' + u'a');
    if (c != OLECHAR(word[i])) return false;
  }
  return begin + i == end;
}

// The numeric value of a plain (not by-reference) variant.
HRESULT NumberOf(const VARIANT* v, double* out) {
  switch (v->vt) {
    case VT_EMPTY: *out = 0; return S_OK;
    case VT_I2: *out = v->iVal; return S_OK;
    case VT_I4: *out = v->lVal; return S_OK;
    case VT_INT: *out = v->intVal; return S_OK;
    case VT_UI1: *out = v->bVal; return S_OK;
    case VT_UI2: *out = v->uiVal; return S_OK;
    case VT_UI4: *out = v->ulVal; return S_OK;
    case VT_UINT: *out = v->uintVal; return S_OK;
    case VT_I1: *out = v->cVal; return S_OK;
    case VT_I8: *out = double(v->llVal); return S_OK;
    case VT_UI8: *out = double(v->ullVal); return S_OK;
    case VT_R4: *out = v->fltVal; return S_OK;
    case VT_R8: *out = v->dblVal; return S_OK;
    case VT_DATE: *out = v->date; return S_OK;
    case VT_BOOL: *out = v->boolVal ? -1 : 0; return S_OK;
    case VT_BSTR: return ParseNumber(v->bstrVal, out);
    default: return DISP_E_TYPEMISMATCH;
  }
}

// ---- text ------------------------------------------------------------------------

std::string FormatDouble(double value) {
  // Fifteen significant digits, as VarBstrFromR8; "%G" gives "1E+20" like oleaut32.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return buf;
}

// OLE date to en-US text: "M/D/YYYY", "h:mm:ss AM", or both. A date without
// a time of day has no time part; day 0 (30 December 1899) shows the time only.
std::string FormatDate(DATE date) {
  const double whole = std::trunc(date);
  long long seconds = std::llround(std::fabs(date - whole) * 86400.0);
  long long day = static_cast<long long>(whole);
  if (seconds >= 86400) {  // rounding reached the next midnight
    seconds -= 86400;
    day += date < 0 ? -1 : 1;
  }
  std::string text;
  if (day != 0 || seconds == 0) {
    // Days since 1970-01-01, then the civil date (proleptic Gregorian).
    long long z = day - 25569 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    if (day != 0) {
      char buf[80];
      std::snprintf(buf, sizeof buf, "%lld/%lld/%lld", m, d, y);
      text = buf;
    }
  }
  if (seconds != 0 || day == 0) {
    const long long h24 = seconds / 3600, mi = seconds / 60 % 60, s = seconds % 60;
    const long long h12 = h24 % 12 == 0 ? 12 : h24 % 12;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld %s", h12, mi, s, h24 < 12 ? "AM" : "PM");
    if (!text.empty()) text += ' ';
    text += buf;
  }
  return text;
}

HRESULT ToText(const VARIANT* v, USHORT flags, BSTR* out) {
  switch (v->vt) {
    case VT_EMPTY:
      *out = SysAllocStringLen(nullptr, 0);
      break;
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
        *out = BstrFromAscii(v->boolVal ? "True" : "False");
      else
        *out = BstrFromAscii(v->boolVal ? "-1" : "0");
      break;
    case VT_I8:
      *out = BstrFromAscii(std::to_string(v->llVal));
      break;
    case VT_I1: case VT_I2: case VT_I4: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: {
      double n = 0;
      NumberOf(v, &n);
      *out = BstrFromAscii(std::to_string(static_cast<long long>(n)));
      break;
    }
    case VT_UI8:
      *out = BstrFromAscii(std::to_string(v->ullVal));
      break;
    case VT_R4: case VT_R8: {
      double n = 0;
      NumberOf(v, &n);
      *out = BstrFromAscii(FormatDouble(n));
      break;
    }
    case VT_DATE:
      *out = BstrFromAscii(FormatDate(v->date));
      break;
    default:
      return DISP_E_TYPEMISMATCH;  // null, error, unknown: no text
  }
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ToBool(const VARIANT* v, VARIANT_BOOL* out) {
  if (v->vt == VT_BSTR) {
    if (IsCaseInsensitive(v->bstrVal, "true")) { *out = VARIANT_TRUE; return S_OK; }
    if (IsCaseInsensitive(v->bstrVal, "false")) { *out = VARIANT_FALSE; return S_OK; }
  }
  double n = 0;
  const HRESULT hr = NumberOf(v, &n);
  if (FAILED(hr)) return hr;
  *out = n != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT ToInteger(const VARIANT* v, double lo, double hi, double* out) {
  double n = 0;
  const HRESULT hr = NumberOf(v, &n);
  if (FAILED(hr)) return hr;
  n = RoundHalfEven(n);
  if (n < lo || n > hi) return DISP_E_OVERFLOW;
  *out = n;
  return S_OK;
}

// The value of an object: its default member (DISPID_VALUE) read as a property.
HRESULT DefaultValue(IDispatch* disp, VARIANT* out) {
  if (!disp) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VariantInit(out);
  const HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out,
                                  nullptr, nullptr);
  if (FAILED(hr)) {
    VariantClear(out);
    return DISP_E_TYPEMISMATCH;
  }
  if (out->vt == VT_DISPATCH || out->vt == VT_UNKNOWN) {  // no second round of default members
    VariantClear(out);
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

// Converts the plain variant src into a fresh value in out (which is
// treated as uninitialised). Only on success does out hold anything.
HRESULT Coerce(VARIANT* out, const VARIANT* src, USHORT flags, VARTYPE vt) {
  VariantInit(out);
  if (src->vt == vt) return VariantCopy(out, src);
  if (vt == VT_EMPTY) return S_OK;
  if (src->vt == VT_NULL) return DISP_E_TYPEMISMATCH;

  if (src->vt == VT_DISPATCH && vt != VT_UNKNOWN) {
    if (flags & VARIANT_NOVALUEPROP) return DISP_E_TYPEMISMATCH;
    VARIANT value;
    HRESULT hr = DefaultValue(src->pdispVal, &value);
    if (FAILED(hr)) return hr;
    hr = Coerce(out, &value, flags, vt);
    VariantClear(&value);
    return hr;
  }

  HRESULT hr = S_OK;
  switch (vt) {
    case VT_BSTR:
      hr = ToText(src, flags, &out->bstrVal);
      break;
    case VT_BOOL:
      hr = ToBool(src, &out->boolVal);
      break;
    case VT_I2: {
      double n = 0;
      hr = ToInteger(src, -32768.0, 32767.0, &n);
      out->iVal = SHORT(n);
      break;
    }
    case VT_I4: {
      double n = 0;
      hr = ToInteger(src, -2147483648.0, 2147483647.0, &n);
      out->lVal = LONG(n);
      break;
    }
    case VT_R8:
      hr = NumberOf(src, &out->dblVal);
      break;
    case VT_DATE:
      if (src->vt == VT_BSTR) return DISP_E_TYPEMISMATCH;  // date parsing is not needed here
      hr = NumberOf(src, &out->date);
      break;
    case VT_UNKNOWN:
      if (src->vt != VT_DISPATCH || !src->pdispVal) return DISP_E_TYPEMISMATCH;
      hr = src->pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&out->punkVal));
      break;
    case VT_DISPATCH:
      if (src->vt != VT_UNKNOWN || !src->punkVal) return DISP_E_TYPEMISMATCH;
      hr = src->punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&out->pdispVal));
      if (hr == E_NOINTERFACE) hr = DISP_E_TYPEMISMATCH;
      break;
    default:
      return IsKnownType(vt) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) {
    VariantInit(out);
    return hr;
  }
  out->vt = vt;
  return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->brecVal.pvRecord = nullptr;
  pvarg->brecVal.pRecInfo = nullptr;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!IsKnownType(pvarg->vt) && !(pvarg->vt & VT_BYREF)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    default:
      break;  // values and by-reference slots own nothing
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsKnownType(pvargSrc->vt) && !(pvargSrc->vt & VT_BYREF)) return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  switch (pvargSrc->vt) {
    case VT_BSTR:
      if (pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (copy.punkVal) copy.punkVal->AddRef();
      break;
    default:
      break;
  }
  const HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (!pvarDest || !pvargSrc) return E_INVALIDARG;
  if (pvargSrc->vt == (VT_BYREF | VT_VARIANT)) {
    if (!pvargSrc->pvarVal) return E_INVALIDARG;
    return VariantCopy(pvarDest, pvargSrc->pvarVal);
  }
  if (pvargSrc->vt & VT_BYREF) return DISP_E_BADVARTYPE;  // only variants by reference are passed here
  return VariantCopy(pvarDest, pvargSrc);
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  const VARIANT* src = pvarSrc;
  if (src->vt == (VT_BYREF | VT_VARIANT)) {
    if (!src->pvarVal) return E_INVALIDARG;
    src = src->pvarVal;
  }
  if (src->vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  if (!IsKnownType(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT result;
  const HRESULT hr = Coerce(&result, src, wFlags, vt);
  if (FAILED(hr)) return hr;
  // The source is read completely before the destination (possibly the same
  // variant) is cleared.
  VariantClear(pvargDest);
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
