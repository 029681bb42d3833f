#pragma once
// TComEvents: a sink for the events of any automation object that publishes
// them through connection points, with no compiled-in knowledge of the event
// interface.
//
// Creation finds the source's outgoing dispatch interface at run time — from
// its class information (the interface marked both "source" and "default"),
// or else by walking the first ten of its connection points for one whose
// interface is a dispatch interface in the source's type library — and reads
// the names and dispatch ids of its events from the type information. Every
// event call then reaches one callback, OnEvent, with the event's name, its
// dispatch id and its arguments in declaration order (Params[0] is the first
// declared argument).
//
// Contract:
//  - The constructor raises ComError when the source is not held as a
//    dispatch interface (DISP_E_UNKNOWNINTERFACE) or offers no
//    connection-point container (the source's refusal status). A source
//    without a usable event interface gives an inert sink: it never connects
//    and never calls OnEvent.
//  - SetSinked(true) connects (Advise) and SetSinked(false) disconnects
//    (Unadvise); asking for the current state does nothing. Sinked() turns
//    true only when Advise succeeds and false only when Unadvise succeeds.
//  - Reference counting is off: AddRef and Release answer 1 and change
//    nothing. The owner frees the sink (delete); the destructor disconnects a
//    connected sink, ignoring errors, and releases the source.
//  - Invoke answers S_OK for every call: without a handler, or for a dispatch
//    id that is not one of the events, the call is dropped. No C++ exception
//    leaves Invoke: whatever the handler lets escape (already logged by the
//    exception hook) ends that event. Changes the handler makes to Params are
//    not returned to the caller.
//
// REQUIRES: created, connected, used and destroyed on one thread (the
// apartment of the source; the UI thread in this program).

#include <ocidl.h>

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include "outlook/com_ptr.h"
#include "outlook/variant.h"

namespace outlook {

// The arguments of one event, in declaration order.
using TVariantArray = std::vector<Variant>;

// The event callback: the source (the sink's obj()), the event's name, its
// dispatch id and its arguments.
using TComEvent = std::function<void(const Variant& Sender, const QString& Event, int ID, TVariantArray& Params)>;

class TComEvents final : public IDispatch {
 public:
  // obj: the event source, kept referenced for the sink's lifetime.
  explicit TComEvents(const Variant& obj);
  ~TComEvents();
  TComEvents(const TComEvents&) = delete;
  TComEvents& operator=(const TComEvents&) = delete;

  // The events known from the type information, in its order. An index
  // outside 0 .. Count()-1 raises std::out_of_range.
  int Count() const { return int(FEvents.size()); }
  QString GetNames(int index) const;
  int GetIDs(int index) const;

  const Variant& obj() const { return FObj; }

  const TComEvent& OnEvent() const { return FEvent; }
  void SetOnEvent(TComEvent handler) { FEvent = std::move(handler); }

  bool Sinked() const { return FSinked; }
  void SetSinked(bool value);

  // The interface id of the event interface found; IID_IUnknown when none.
  const IID& EventInterface() const { return FGuid; }

  // IUnknown: the event interface's id, IUnknown and IDispatch all give this
  // object. No reference counting.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // IDispatch: no type information and no names of its own; Invoke delivers.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

 private:
  IDispatch* Source() const { return FObj.Raw().pdispVal; }
  bool DiscoverByClassInfo(IConnectionPointContainer& container);
  bool DiscoverByEnumeration(IConnectionPointContainer& container);
  void CollectEventNames(ITypeInfo& info, UINT functionCount);

  IID FGuid;
  bool FSinked = false;
  ComPtr<IConnectionPoint> FCP;
  DWORD FCookie = 0;
  TComEvent FEvent;
  QStringList FEvents;
  std::vector<DISPID> FEventIDs;
  Variant FObj;
};

}  // namespace outlook
