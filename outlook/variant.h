#pragma once
// Variant: an owned VARIANT (VariantInit on creation, VariantClear on
// destruction, VariantCopy on copy) with the conversions the program uses.
// Omitted() is the marker for an optional argument left out.

#include <oaidl.h>

#include <QString>

namespace outlook {

class DispatchRef;

class Variant {
 public:
  Variant();                          // VT_EMPTY
  Variant(int value);                 // VT_I4
  Variant(bool value);                // VT_BOOL
  Variant(double value);              // VT_R8
  Variant(const QString& text);       // VT_BSTR
  Variant(const char16_t* text);      // VT_BSTR
  Variant(const char* utf8);          // VT_BSTR (keeps literals from turning into bool)
  Variant(const DispatchRef& object); // VT_DISPATCH, a reference of its own (null stays null)
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  static Variant Null();                // VT_NULL
  static Variant Error(SCODE code);     // VT_ERROR
  // A copy of a raw VARIANT (a variant by reference is copied as what it refers to).
  static Variant Copy(const VARIANT& raw);
  // Takes over raw's content; raw is left VT_EMPTY.
  static Variant Adopt(VARIANT& raw);

  VARTYPE Type() const { return v_.vt; }
  bool IsEmpty() const { return v_.vt == VT_EMPTY; }
  bool IsNull() const { return v_.vt == VT_NULL; }
  // An optional argument left out: VT_ERROR holding DISP_E_PARAMNOTFOUND.
  bool IsOmitted() const;

  const VARIANT& Raw() const { return v_; }
  // Clears the value and hands out the slot for an out-parameter.
  VARIANT* Receive();

  // The usual variant-to-text conversion: empty and null give "", booleans
  // "True"/"False", numbers and dates their en-US text. Raises ComError
  // when the value has no text (an error code, an object without a value).
  QString ToString() const;
  // Raise ComError (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW) when the value
  // does not convert.
  int ToInt() const;
  bool ToBool() const;
  // A number or a date (its OLE value: days since 30 December 1899).
  double ToDouble() const;
  // VT_DISPATCH as is, VT_UNKNOWN through QueryInterface, empty or null as a
  // null reference; anything else raises ComError (DISP_E_TYPEMISMATCH).
  DispatchRef ToDispatch() const;

 private:
  VARIANT v_;
};

// The marker for an optional argument left out.
Variant Omitted();

// The usual variant-to-text conversion of Variant::ToString for a raw
// VARIANT (event arguments, for instance).
QString VariantToString(const VARIANT& raw);

// BSTR <-> QString. A null BSTR is the empty text; embedded NULs are kept.
QString BstrToQString(BSTR text);
BSTR QStringToBstr(const QString& text);  // caller frees with SysFreeString

}  // namespace outlook
