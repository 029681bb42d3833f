#pragma once
// The automation base of the stand-in library's objects: reference counting,
// QueryInterface, and IDispatch driven by a table of members.
//
// Each class describes its members once, in a static MemberTable: the
// published name (matched without regard to case), a DISPID, how many
// arguments it takes, a handler for reading or calling it and, for a
// writable property, a handler for writing it. Invoke hands the handlers the
// arguments in declaration order (COM passes them last first) and the new
// value of a property write (the named argument DISPID_PROPERTYPUT).
//
// Reads and calls arrive with DISPATCH_METHOD, DISPATCH_PROPERTYGET or both,
// as scripting clients send them; every member answers either.
//
// Failures. A handler reports a fault in how it was called (a missing or
// mistyped argument) by throwing DispatchError, which becomes that status and
// the argument's position. Any other exception — the engine's StoreError
// above all — becomes DISP_E_EXCEPTION with an EXCEPINFO whose source is
// "vasnik" and whose description is the exception's message, so the program
// shows the engine's own words. No C++ exception leaves a COM method.
//
// Objects are dispatch-only: every interface id a class answers is served by
// the same IDispatch vtable, since the program binds late.
//
// REQUIRES: one thread (the UI thread), like the engine.

#include <oaidl.h>

#include <QHash>
#include <QString>

#include <atomic>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

namespace vasnik::com {

// A fault in how a member was called, reported as the status itself
// (DISP_E_PARAMNOTOPTIONAL, DISP_E_TYPEMISMATCH, ...). argument: the
// argument's position in DISPPARAMS::rgvarg, or -1 when no one argument is
// at fault.
class DispatchError : public std::runtime_error {
 public:
  DispatchError(HRESULT status, int argument, const char* what);
  HRESULT Status() const { return status_; }
  int Argument() const { return argument_; }

 private:
  HRESULT status_;
  int argument_;
};

// An owned VARIANT: the result of a member. Move-only.
class ComValue {
 public:
  ComValue();  // VT_EMPTY
  ComValue(ComValue&& other) noexcept;
  ComValue& operator=(ComValue&& other) noexcept;
  ComValue(const ComValue&) = delete;
  ComValue& operator=(const ComValue&) = delete;
  ~ComValue();

  static ComValue Int(int value);
  static ComValue Bool(bool value);
  // VT_DATE: an OLE date, days since 30 December 1899.
  static ComValue Date(double oleDate);
  static ComValue Text(const QString& text);
  // Takes over the one reference a fresh object starts with; null gives Nothing().
  static ComValue Object(IDispatch* fresh);
  // No object: VT_DISPATCH holding null, what a caller sees as "Nothing".
  static ComValue Nothing();

  const VARIANT& Raw() const { return v_; }
  // Hands the value to an out-parameter (which must hold nothing that needs
  // freeing); this is left VT_EMPTY.
  void MoveTo(VARIANT* out);

 private:
  VARIANT v_;
};

// The arguments of one call, in declaration order. An argument that was
// not passed, or passed as omitted (VT_ERROR holding DISP_E_PARAMNOTFOUND),
// takes the fallback; a reference (VT_BYREF) is read through. Conversions
// follow the runtime's VariantChangeType (a number from text, a Boolean
// from a number, ...). Required arguments that are missing throw
// DispatchError(DISP_E_PARAMNOTOPTIONAL), values that do not convert
// DispatchError(DISP_E_TYPEMISMATCH).
class Args {
 public:
  // params: as Invoke received it; put: a property write, whose value is
  // the first element of rgvarg. Throws DispatchError for named arguments
  // other than a write's DISPID_PROPERTYPUT.
  Args(const DISPPARAMS& params, bool put);

  int Count() const { return count_; }
  // Passed and not omitted.
  bool Given(int index) const;

  QString Text(int index) const;
  QString Text(int index, const QString& fallback) const;
  int Int(int index) const;
  int Int(int index, int fallback) const;
  bool Bool(int index, bool fallback) const;
  // Whether the argument is text that is not a number (a name rather than
  // a position, for collections that take either).
  bool IsNonNumericText(int index) const;

  // The new value of a property write.
  QString ValueText() const;
  int ValueInt() const;
  bool ValueBool() const;
  double ValueDate() const;  // an OLE date

 private:
  // The argument read through any reference; null when not given.
  const VARIANT* At(int index) const;
  int Position(int index) const;  // index into rgvarg
  VARIANT Converted(const VARIANT& value, VARTYPE type, int position) const;

  const DISPPARAMS& params_;
  int count_ = 0;   // positional arguments
  int offset_ = 0;  // 1 when rgvarg[0] is a write's value
};

class DispatchObject;
template <class T>
class MemberTableBuilder;

// The members of one class. Built once per class (a function-local static)
// with MemberTable::Builder<Class>.
class MemberTable {
 public:
  using Getter = std::function<ComValue(DispatchObject& self, const Args& args)>;
  using Putter = std::function<void(DispatchObject& self, const Args& args)>;

  struct Member {
    QString name;
    DISPID id;
    int arity;  // positional arguments accepted (a write's value not counted)
    Getter get;
    Putter put;
  };

  template <class T>
  using Builder = MemberTableBuilder<T>;

  const Member* ById(DISPID id) const;
  const Member* ByName(const QString& name) const;  // letter case ignored
  const std::vector<Member>& Members() const { return members_; }

 private:
  template <class T>
  friend class MemberTableBuilder;
  void Insert(Member member);

  std::vector<Member> members_;
  QHash<QString, size_t> byName_;  // lower-case name -> index
};

// Builds a MemberTable for class T (see MemberTable).
template <class T>
class MemberTableBuilder {
 public:
  using GetFn = ComValue (*)(T& self, const Args& args);
  using PutFn = void (*)(T& self, const Args& args);

  // A member read or called with up to arity arguments, and written with
  // put when it is a writable property.
  MemberTableBuilder& Add(const char16_t* name, int arity, GetFn get, PutFn put = nullptr) {
    return AddWithId(name, next_++, arity, get, put);
  }
  // The default member (DISPID_VALUE), e.g. a collection's Item.
  MemberTableBuilder& AddDefault(const char16_t* name, int arity, GetFn get) {
    return AddWithId(name, DISPID_VALUE, arity, get, nullptr);
  }
  MemberTable Build() { return std::move(table_); }

 private:
  MemberTableBuilder& AddWithId(const char16_t* name, DISPID id, int arity, GetFn get, PutFn put) {
    MemberTable::Getter g;
    MemberTable::Putter p;
    if (get) g = [get](DispatchObject& self, const Args& args) { return get(static_cast<T&>(self), args); };
    if (put) p = [put](DispatchObject& self, const Args& args) { put(static_cast<T&>(self), args); };
    table_.Insert(MemberTable::Member{QString::fromUtf16(name), id, arity, std::move(g), std::move(p)});
    return *this;
  }

  MemberTable table_;
  DISPID next_ = 1;
};

class DispatchObject : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override;

  // Objects and class-factory locks alive in the module (DllCanUnloadNow).
  static long LiveCount();
  static void AddModuleLock();
  static void ReleaseModuleLock();

 protected:
  // members must outlive the object (a static table); extra: the interface
  // ids the class answers besides IUnknown and IDispatch, static as well.
  // The object starts with one reference, owned by its creator.
  explicit DispatchObject(const MemberTable& members, std::span<const IID> extra = {});
  virtual ~DispatchObject();
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  // Type information of the class's dispatch interface, or null while there
  // is none (GetTypeInfoCount then answers 0). The object keeps the reference.
  virtual ITypeInfo* TypeInfo() const { return nullptr; }
  // An interface served by another vtable of the object (connection points,
  // class information), or null. The returned pointer gets its reference
  // from QueryInterface.
  virtual void* OtherInterface(REFIID riid) { return nullptr; }

 private:
  HRESULT Dispatch(const MemberTable::Member& member, bool write, const DISPPARAMS& params, VARIANT* result,
                   EXCEPINFO* exception, UINT* argumentError) noexcept;

  const MemberTable& members_;
  std::span<const IID> extra_;
  std::atomic<ULONG> refs_{1};
};

// BSTR <-> QString. A null BSTR is the empty text; embedded NULs are kept.
QString FromBstr(BSTR text);
BSTR ToBstr(const QString& text);  // the runtime's allocator; the receiver frees it

}  // namespace vasnik::com
