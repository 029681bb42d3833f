// RDOStores, RDOStore, RDOAccount and RDOAddressEntry.

#include "standin/com/dispatch_object.h"
#include "standin/com/rdo_objects.h"
#include "standin/com/store_events.h"

#include "outlook/member_names.h"
#include "standin/store/session.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

namespace vasnik::com {

namespace n = outlook::names;

namespace {

// The stores of the profile; Item takes a 1-based position or a store's name.
class StoresObject final : public DispatchObject {
 public:
  explicit StoresObject(SessionPtr session) : DispatchObject(Members()), session_(std::move(session)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<StoresObject>()
            .Add(n::kCount, 0,
                 [](StoresObject& self, const Args&) { return ComValue::Int(self.session_->StoreCount()); })
            .AddDefault(n::kItem, 1,
                        [](StoresObject& self, const Args& args) {
                          return ComValue::Object(NewStore(self.session_, self.Find(args)));
                        })
            .Build();
    return table;
  }

  std::shared_ptr<Store> Find(const Args& args) const {
    if (!args.IsNonNumericText(0)) return session_->StoreAt(args.Int(0));
    const QString name = args.Text(0);
    for (int i = 1; i <= session_->StoreCount(); ++i)
      if (session_->StoreAt(i)->Name().compare(name, Qt::CaseInsensitive) == 0) return session_->StoreAt(i);
    throw StoreError(QStringLiteral("there is no store named \"%1\"").arg(name));
  }

  SessionPtr session_;
};

constexpr IID kStoreInterfaces[] = {IID_IRDOStore};

// IPMRootFolder and RootFolder are one folder here: the top of the store's
// directory tree, whose subfolders are the folders the user sees.
//
// The store is the source of the store events (store_events.h): it gives
// its class information (IProvideClassInfo), its type information
// (IDispatch::GetTypeInfo: IRDOStore, in the library's type library) and
// one connection point, for IRDOStoreEvents (IConnectionPointContainer).
// Those interfaces are further vtables of this one object.
class StoreObject final : public DispatchObject, public IProvideClassInfo, public IConnectionPointContainer {
 public:
  StoreObject(SessionPtr session, std::shared_ptr<Store> store)
      : DispatchObject(Members(), kStoreInterfaces),
        session_(std::move(session)),
        store_(std::move(store)),
        events_(*this, store_) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return DispatchObject::QueryInterface(riid, ppvObject);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DispatchObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DispatchObject::Release(); }

  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override {
    if (!ppTI) return E_POINTER;
    *ppTI = StoreClassTypeInfo();
    (*ppTI)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    try {
      *ppEnum = NewConnectionPointEnumerator({&events_});
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!IsEqualIID(riid, DIID_IRDOStoreEvents)) return CONNECT_E_NOCONNECTION;
    events_.AddRef();
    *ppCP = &events_;
    return S_OK;
  }

  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<StoreObject>()
            .Add(n::kEntryID, 0,
                 [](StoreObject& self, const Args&) { return ComValue::Text(self.store_->EntryID()); })
            .Add(n::kName, 0, [](StoreObject& self, const Args&) { return ComValue::Text(self.store_->Name()); })
            .Add(n::kStoreKind, 0,
                 [](StoreObject& self, const Args&) { return ComValue::Int(self.store_->StoreKind()); })
            .Add(n::kStoreAccount, 0,
                 [](StoreObject& self, const Args&) {
                   const auto account = self.store_->Account();
                   if (!account) return ComValue::Nothing();
                   return ComValue::Object(NewAccount(account->accountType, account->smtpAddress));
                 })
            // The engine keeps the owner's address only; it is the name too.
            .Add(n::kOwner, 0,
                 [](StoreObject& self, const Args&) {
                   const QString address = self.store_->OwnerSmtpAddress();
                   return ComValue::Object(NewAddressEntry(address, address));
                 })
            .Add(n::kGetDefaultFolder, 1,
                 [](StoreObject& self, const Args& args) {
                   return ComValue::Object(NewFolder(self.session_, self.store_->GetDefaultFolder(args.Int(0))));
                 })
            .Add(n::kIPMRootFolder, 0, [](StoreObject& self, const Args&) { return self.Root(); })
            .Add(n::kRootFolder, 0, [](StoreObject& self, const Args&) { return self.Root(); })
            .Build();
    return table;
  }

  ComValue Root() const { return ComValue::Object(NewFolder(session_, store_->RootFolder())); }

 protected:
  ITypeInfo* TypeInfo() const override { return StoreInterfaceTypeInfo(); }
  void* OtherInterface(REFIID riid) override {
    if (IsEqualIID(riid, IID_IProvideClassInfo)) return static_cast<IProvideClassInfo*>(this);
    if (IsEqualIID(riid, IID_IConnectionPointContainer)) return static_cast<IConnectionPointContainer*>(this);
    return nullptr;
  }

 private:
  SessionPtr session_;
  std::shared_ptr<Store> store_;
  StoreEventsPoint events_;  // after store_, which it is given
};

class AccountObject final : public DispatchObject {
 public:
  AccountObject(int accountType, QString smtpAddress)
      : DispatchObject(Members()), accountType_(accountType), smtpAddress_(std::move(smtpAddress)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<AccountObject>()
            .Add(n::kAccountType, 0, [](AccountObject& self, const Args&) { return ComValue::Int(self.accountType_); })
            .Add(n::kSMTPAddress, 0,
                 [](AccountObject& self, const Args&) { return ComValue::Text(self.smtpAddress_); })
            .Build();
    return table;
  }

  int accountType_;
  QString smtpAddress_;
};

// An SMTP address entry: Address and SMTPAddress are the same text.
class AddressEntryObject final : public DispatchObject {
 public:
  AddressEntryObject(QString name, QString smtpAddress)
      : DispatchObject(Members()), name_(std::move(name)), smtpAddress_(std::move(smtpAddress)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<AddressEntryObject>()
            .Add(n::kName, 0, [](AddressEntryObject& self, const Args&) { return ComValue::Text(self.name_); })
            .Add(u"Address", 0,
                 [](AddressEntryObject& self, const Args&) { return ComValue::Text(self.smtpAddress_); })
            .Add(n::kSMTPAddress, 0,
                 [](AddressEntryObject& self, const Args&) { return ComValue::Text(self.smtpAddress_); })
            .Build();
    return table;
  }

  QString name_;
  QString smtpAddress_;
};

}  // namespace

const MemberTable& StoreMemberTable() { return StoreObject::Members(); }

IDispatch* NewStores(SessionPtr session) { return new StoresObject(std::move(session)); }
IDispatch* NewStore(SessionPtr session, std::shared_ptr<Store> store) {
  return new StoreObject(std::move(session), std::move(store));
}
IDispatch* NewAccount(int accountType, const QString& smtpAddress) {
  return new AccountObject(accountType, smtpAddress);
}
IDispatch* NewAddressEntry(const QString& name, const QString& smtpAddress) {
  return new AddressEntryObject(name, smtpAddress);
}

}  // namespace vasnik::com
