#pragma once
// DispatchRef: one counted reference to an automation object, with
// late-bound access by member name (GetIDsOfNames + Invoke).
//
//   Get(name, args...)   reads a property or calls a member for its result
//   Call(name, args...)  calls a member; the result may be ignored
//   Put(name, value)     writes a property; PutIndexed for a parameterised one
//
// Arguments are given in declaration order; Omitted() leaves an optional
// one out. Get and Call both invoke with DISPATCH_METHOD |
// DISPATCH_PROPERTYGET, as scripting clients do, so a server may implement
// a member either way. Every failing status raises ComError: with the
// server's EXCEPINFO description when it gave one, otherwise with the
// member's name and the status as 8 hex digits.
//
// REQUIRES: used on the thread (apartment) the object belongs to.

#include <oaidl.h>

#include <QString>
#include <QStringView>

#include <vector>

#include "outlook/com_error.h"
#include "outlook/com_ptr.h"
#include "outlook/variant.h"

namespace outlook {

class DispatchRef {
 public:
  DispatchRef() = default;
  // Shares object: adds a reference of its own.
  explicit DispatchRef(IDispatch* object) : p_(object) {}
  // Takes over a reference the caller owns.
  static DispatchRef Adopt(IDispatch* object);

  IDispatch* Interface() const { return p_.Get(); }
  bool IsNull() const { return !p_; }
  explicit operator bool() const { return bool(p_); }

  template <class... A>
  Variant Get(QStringView name, A&&... args) const {
    return InvokeByName(name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Variant(std::forward<A>(args))...}, nullptr);
  }
  template <class... A>
  Variant Call(QStringView name, A&&... args) const {
    return InvokeByName(name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Variant(std::forward<A>(args))...}, nullptr);
  }
  void Put(QStringView name, const Variant& value) const;
  void PutIndexed(QStringView name, const std::vector<Variant>& index, const Variant& value) const;
  // Invoke with explicit flags; args in declaration order.
  Variant Invoke(QStringView name, WORD flags, const std::vector<Variant>& args) const;

  // The dispatch id of a member name; raises ComError when unknown.
  DISPID IdOfName(QStringView name) const;
  // The same object viewed through another (dual) interface; raises
  // InterfaceCastError when the object does not support it.
  DispatchRef QueryInterface(REFIID iid) const;

  // How many late-bound calls this process has made: lets tests see that
  // an operation did (or did not) go to the library.
  static quint64 InvokeCount() { return invokeCount_; }

  friend bool operator==(const DispatchRef& a, const DispatchRef& b) { return a.p_.Get() == b.p_.Get(); }

 private:
  Variant InvokeByName(QStringView name, WORD flags, const std::vector<Variant>& args, const Variant* putValue) const;

  ComPtr<IDispatch> p_;
  static quint64 invokeCount_;  // UI thread only, like every call
};

}  // namespace outlook
