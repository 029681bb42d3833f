#include "standin/com/store_events.h"

#include "platform/com/com_object.h"
#include "standin/com/dispatch_object.h"
#include "standin/com/rdo_objects.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <oleauto.h>

#include <algorithm>
#include <new>

namespace vasnik::com {

namespace {

using Kind = StoreEvent::Kind;

// Positions in the type library.
constexpr int kStoreInterface = 0;
constexpr int kStoreEventsInterface = 1;
constexpr int kStoreClass = 2;

TypeDescription StoreInterface() {
  TypeDescription type{IID_IRDOStore, TKIND_DISPATCH, QStringLiteral("IRDOStore"),
                       QStringLiteral("A message store of the session"), {}, {}};
  for (const MemberTable::Member& member : StoreMemberTable().Members()) {
    FunctionDescription function{member.id, member.name, member.arity == 0 ? INVOKE_PROPERTYGET : INVOKE_FUNC,
                                 {}, VT_VARIANT, VT_VARIANT};
    for (int i = 1; i <= member.arity; ++i) function.parameters.push_back(QStringLiteral("Arg%1").arg(i));
    type.functions.push_back(std::move(function));
  }
  return type;
}

TypeDescription StoreEventsInterface() {
  TypeDescription type{DIID_IRDOStoreEvents, TKIND_DISPATCH, QStringLiteral("IRDOStoreEvents"),
                       QStringLiteral("Changes in a message store"), {}, {}};
  for (const EventDescription& event : StoreEventTable()) {
    FunctionDescription function{event.id, QString::fromUtf16(event.name), INVOKE_FUNC, {}, VT_BSTR, VT_VOID};
    for (const char16_t* parameter : event.parameters) function.parameters.push_back(QString::fromUtf16(parameter));
    type.functions.push_back(std::move(function));
  }
  return type;
}

TypeDescription StoreClass() {
  return TypeDescription{CLSID_RDOStore,
                         TKIND_COCLASS,
                         QStringLiteral("RDOStore"),
                         QStringLiteral("A message store and its events"),
                         {},
                         {{kStoreInterface, IMPLTYPEFLAG_FDEFAULT},
                          {kStoreEventsInterface, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}};
}

// ---- enumerators --------------------------------------------------------------------------------

void Reference(IConnectionPoint* point) { point->AddRef(); }
void Unreference(IConnectionPoint* point) { point->Release(); }
void Reference(const CONNECTDATA& data) { data.pUnk->AddRef(); }
void Unreference(const CONNECTDATA& data) { data.pUnk->Release(); }

// A snapshot enumerator, as the SDK's enumerators of connection points and
// connections are: it holds a reference to each element and hands out one
// more with each element fetched.
template <class Interface, class Element>
class Enumerator final : public platform::com::ComObject<Interface> {
 public:
  Enumerator(const IID& iid, std::vector<Element> elements, size_t position = 0)
      : platform::com::ComObject<Interface>(iid), elements_(std::move(elements)), position_(position) {
    for (const Element& element : elements_) Reference(element);
    DispatchObject::AddModuleLock();
  }
  ~Enumerator() override {
    for (const Element& element : elements_) Unreference(element);
    DispatchObject::ReleaseModuleLock();
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, Element* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG got = 0;
    for (; got < count && position_ < elements_.size(); ++got, ++position_) {
      out[got] = elements_[position_];
      Reference(out[got]);
    }
    if (fetched) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = elements_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) Enumerator(this->InterfaceId(), elements_, position_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::vector<Element> elements_;
  size_t position_;
};

}  // namespace

const std::vector<EventDescription>& StoreEventTable() {
  // Dispatch ids are ours; they are deliberately not the positions.
  static const std::vector<EventDescription> table = {
      {Kind::MessageCreated, 11, u"OnMessageCreatedEx", {u"EntryID", u"FolderEntryID"}},
      {Kind::MessageModified, 12, u"OnMessageModifiedEx", {u"EntryID", u"FolderEntryID"}},
      {Kind::MessageDeleted, 13, u"OnMessageDeletedEx", {u"EntryID", u"FolderEntryID"}},
      {Kind::MessageMoved, 14, u"OnMessageMoved3",
       {u"EntryID", u"OldFolderEntryID", u"NewFolderEntryID", u"OldEntryID"}},
      {Kind::MessageCopied, 15, u"OnMessageCopied", {u"EntryID"}},
      {Kind::FolderCreated, 21, u"OnFolderCreated", {u"EntryID", u"ParentEntryID"}},
      {Kind::FolderDeleted, 22, u"OnFolderDeleted", {u"EntryID", u"ParentEntryID"}},
      {Kind::FolderMoved, 23, u"OnFolderMoved", {u"EntryID", u"OldParentEntryID", u"NewParentEntryID"}},
  };
  return table;
}

const TypeLibrary& VasnikTypeLibrary() {
  static const TypeLibrary library(LIBID_Vasnik, QStringLiteral("Vasnik"),
                                   QStringLiteral("The stand-in messaging library"),
                                   {StoreInterface(), StoreEventsInterface(), StoreClass()});
  return library;
}

ITypeInfo* StoreInterfaceTypeInfo() { return VasnikTypeLibrary().Type(kStoreInterface); }
ITypeInfo* StoreClassTypeInfo() { return VasnikTypeLibrary().Type(kStoreClass); }

IEnumConnectionPoints* NewConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points) {
  return new Enumerator<IEnumConnectionPoints, IConnectionPoint*>(IID_IEnumConnectionPoints, points);
}

// ---- StoreEventsPoint -----------------------------------------------------------------------------

StoreEventsPoint::StoreEventsPoint(IConnectionPointContainer& container, std::shared_ptr<Store> store)
    : container_(container), store_(std::move(store)) {}

StoreEventsPoint::~StoreEventsPoint() {
  StopListening();
  for (const Sink& sink : sinks_) sink.dispatch->Release();
}

HRESULT StoreEventsPoint::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
  *ppvObject = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT StoreEventsPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = DIID_IRDOStoreEvents;
  return S_OK;
}

HRESULT StoreEventsPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  container_.AddRef();
  *ppCPC = &container_;
  return S_OK;
}

HRESULT StoreEventsPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (!pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  if (!pUnkSink) return E_POINTER;
  void* found = nullptr;
  if (FAILED(pUnkSink->QueryInterface(DIID_IRDOStoreEvents, &found)) || !found) {
    found = nullptr;
    if (FAILED(pUnkSink->QueryInterface(IID_IDispatch, &found)) || !found) return CONNECT_E_CANNOTCONNECT;
  }
  auto* dispatch = static_cast<IDispatch*>(found);
  try {
    if (listener_ == 0 || watcher_.expired()) {
      const std::shared_ptr<StoreWatcher> watcher = store_->Events();
      listener_ = watcher->AddListener([this](const StoreEvent& event) { Deliver(event); });
      watcher_ = watcher;
    }
    sinks_.push_back({nextCookie_, dispatch});
  } catch (const std::exception& error) {
    LogLine(QStringLiteral("cannot connect to the events of store \"%1\": %2")
                .arg(store_->Name(), QString::fromUtf8(error.what())));
    dispatch->Release();
    return CONNECT_E_CANNOTCONNECT;
  }
  *pdwCookie = nextCookie_++;
  return S_OK;
}

HRESULT StoreEventsPoint::Unadvise(DWORD dwCookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->cookie != dwCookie) continue;
    IDispatch* dispatch = it->dispatch;
    sinks_.erase(it);
    if (sinks_.empty()) StopListening();
    dispatch->Release();
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT StoreEventsPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (!ppEnum) return E_POINTER;
  std::vector<CONNECTDATA> connections;
  for (const Sink& sink : sinks_) connections.push_back({sink.dispatch, sink.cookie});
  *ppEnum = new (std::nothrow) Enumerator<IEnumConnections, CONNECTDATA>(IID_IEnumConnections, connections);
  return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

void StoreEventsPoint::StopListening() {
  if (const std::shared_ptr<StoreWatcher> watcher = watcher_.lock()) watcher->RemoveListener(listener_);
  watcher_.reset();
  listener_ = 0;
}

void StoreEventsPoint::Deliver(const StoreEvent& event) {
  const EventDescription* description = nullptr;
  for (const EventDescription& candidate : StoreEventTable())
    if (candidate.kind == event.kind) description = &candidate;
  if (!description || sinks_.empty()) return;

  // A sink may release the store object or disconnect while it handles the
  // event: the object stays alive until the delivery ends, and a sink that
  // disconnected gets nothing more.
  container_.AddRef();
  std::vector<Sink> targets = sinks_;
  for (const Sink& target : targets) target.dispatch->AddRef();
  const size_t count = description->parameters.size();
  for (const Sink& target : targets) {
    const bool connected = std::any_of(sinks_.begin(), sinks_.end(), [&](const Sink& sink) {
      return sink.cookie == target.cookie;
    });
    if (!connected) continue;
    // COM order: rgvarg[0] is the last declared argument.
    std::vector<VARIANT> arguments(count);
    for (size_t i = 0; i < count; ++i) {
      VARIANT& argument = arguments[count - 1 - i];
      VariantInit(&argument);
      argument.vt = VT_BSTR;
      argument.bstrVal = ToBstr(i < size_t(event.args.size()) ? event.args[qsizetype(i)] : QString());
    }
    DISPPARAMS params{arguments.data(), nullptr, UINT(count), 0};
    target.dispatch->Invoke(description->id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    for (VARIANT& argument : arguments) VariantClear(&argument);
  }
  for (const Sink& target : targets) target.dispatch->Release();
  container_.Release();
}

}  // namespace vasnik::com
