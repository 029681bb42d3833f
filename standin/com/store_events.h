#pragma once
// The store events as the library publishes them (doc/vasnik_module.md,
// "Store events"):
//
// - IRDOStoreEvents, an outgoing dispatch interface of our own
//   (DIID_IRDOStoreEvents), one method per store event, every argument an
//   entry identifier (VT_BSTR), in the order StoreEvent (store_watcher.h)
//   gives them;
// - the type library "Vasnik" (LIBID_Vasnik) with the store's own dispatch
//   interface IRDOStore, IRDOStoreEvents and the class RDOStore, which
//   implements IRDOStore [default] and IRDOStoreEvents [default, source];
// - StoreEventsPoint, the store object's connection point for
//   IRDOStoreEvents, and the enumerators of connection points and
//   connections.
//
// A sink finds the interface from the store's class information (route A:
// IProvideClassInfo -> the coclass -> its default source interface) or by
// walking the store's connection points and looking their interfaces up in
// the type library (route B: IDispatch::GetTypeInfo -> containing library
// -> GetTypeInfoOfGuid).
//
// Delivery: Invoke(DISPID of the event, IID_NULL, 0, DISPATCH_METHOD,
// arguments with rgvarg[0] the last declared one, no result, no exception
// information), from the event loop, to each connected sink in the order
// they connected. A sink's failure is ignored.
//
// REQUIRES: the UI thread, like the rest of the module.

#include <ocidl.h>

#include "platform/com/guid_text.h"
#include "standin/com/type_library.h"
#include "standin/store/store_watcher.h"

#include <memory>
#include <vector>

namespace vasnik {
class Store;
}

namespace vasnik::com {

using platform::com::ComGuid;

// Identifiers of our own; they are the stand-in's, not the real library's.
inline constexpr GUID LIBID_Vasnik = ComGuid("{EAEC1320-9D7D-450A-A499-E599ED2D6B32}");
inline constexpr IID DIID_IRDOStoreEvents = ComGuid("{FCA98E40-05A8-4EF2-A2BE-F2A79B6AF210}");
inline constexpr CLSID CLSID_RDOStore = ComGuid("{2DBDCD29-833D-47C3-AF13-DBDFA48EBFF3}");
inline constexpr IID IID_IRDOStore = ComGuid("{EEEDE819-9E8E-4AA9-A275-DD6096438CC0}");

struct EventDescription {
  StoreEvent::Kind kind;
  DISPID id;
  const char16_t* name;
  std::vector<const char16_t*> parameters;  // declaration order, as StoreEvent::args
};

// IRDOStoreEvents, in declaration order.
const std::vector<EventDescription>& StoreEventTable();

// The module's type library; built at the first call.
const TypeLibrary& VasnikTypeLibrary();
// Borrowed pointers into it.
ITypeInfo* StoreInterfaceTypeInfo();  // IRDOStore
ITypeInfo* StoreClassTypeInfo();      // RDOStore

// The connection point of one store object. It lives inside that object
// and has no references of its own: AddRef and Release are the container's,
// so a caller holding the point holds the store object.
//
// Advise takes a sink that answers IRDOStoreEvents or IDispatch
// (CONNECT_E_CANNOTCONNECT otherwise, and when the store's events cannot
// start, e.g. after Logoff) and keeps a reference to it until Unadvise or
// until the store object goes. The first Advise starts the engine's watcher
// of the store (Store::Events).
class StoreEventsPoint final : public IConnectionPoint {
 public:
  StoreEventsPoint(IConnectionPointContainer& container, std::shared_ptr<Store> store);
  ~StoreEventsPoint();
  StoreEventsPoint(const StoreEventsPoint&) = delete;
  StoreEventsPoint& operator=(const StoreEventsPoint&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

 private:
  struct Sink {
    DWORD cookie;
    IDispatch* dispatch;
  };

  void Deliver(const StoreEvent& event);
  void StopListening();

  IConnectionPointContainer& container_;
  std::shared_ptr<Store> store_;
  std::weak_ptr<StoreWatcher> watcher_;
  int listener_ = 0;
  std::vector<Sink> sinks_;
  DWORD nextCookie_ = 1;
};

// A new enumerator (one reference, the caller's) over the points; it holds
// a reference to each.
IEnumConnectionPoints* NewConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points);

}  // namespace vasnik::com
