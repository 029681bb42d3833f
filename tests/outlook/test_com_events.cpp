// The COM event sink against hand-written event sources: both ways of
// finding the event interface, connecting and disconnecting, delivery and
// the references the sink borrows and gives back.

#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "fake_event_source.h"
#include "outlook/com_error.h"
#include "outlook/com_events.h"
#include "outlook/dispatch_ref.h"
#include "platform/com/guid_text.h"

namespace {

using outlook::ComError;
using outlook::DispatchRef;
using outlook::TComEvents;
using outlook::TVariantArray;
using outlook::Variant;
using platform::com::ComGuid;
using namespace testing_fakes;

constexpr IID kEvents = ComGuid("{6A1F0C3E-2B7D-4E59-9C41-0F2D8E7A5B11}");
constexpr IID kSecondary = ComGuid("{6A1F0C3E-2B7D-4E59-9C41-0F2D8E7A5B22}");
constexpr IID kIncoming = ComGuid("{6A1F0C3E-2B7D-4E59-9C41-0F2D8E7A5B33}");
constexpr IID kLaterDefault = ComGuid("{6A1F0C3E-2B7D-4E59-9C41-0F2D8E7A5B44}");
constexpr IID kVtableOnly = ComGuid("{6A1F0C3E-2B7D-4E59-9C41-0F2D8E7A5B55}");

constexpr INT kSource = IMPLTYPEFLAG_FSOURCE;
constexpr INT kDefault = IMPLTYPEFLAG_FDEFAULT;

// A source as a type library describes it: the object's own interface, a
// second outgoing interface, the default outgoing one and, after it, another
// marked default source that must never be looked at. Each outgoing
// interface has a connection point; the library knows every interface.
struct Publisher {
  FakeTypeInfo events, secondary, incoming, laterDefault, coclass, own;
  FakeTypeLib library;
  FakeConnectionPoint eventsPoint, secondaryPoint, laterPoint;
  FakeEventSource source;

  Publisher() {
    events.guid = kEvents;
    events.functions = {{1, "OnCreated"},
                        {0x60000000, "QueryInterface"},
                        {0x60000001, "addref"},  // the skip list ignores letter case
                        {2, "OnDamaged", /*descFails=*/true},
                        {3, "OnNameless", false, /*nameFails=*/true},
                        {0x60010002, "GetTypeInfoCount"},
                        {4, "OnMoved"},
                        {5, "OnReleased"}};  // only the exact member names are skipped
    secondary.guid = kSecondary;
    secondary.functions = {{1, "OnSecondaryOne"}, {7, "OnSecondarySeven"}};
    incoming.guid = kIncoming;
    laterDefault.guid = kLaterDefault;
    laterDefault.functions = {{1, "OnLater"}};
    coclass.kind = TKIND_COCLASS;
    coclass.impls = {{kDefault, &incoming},
                     {kSource, &secondary},
                     {kSource | kDefault, &events, /*flagsFail=*/true},
                     {kSource | kDefault, &events},
                     {kSource | kDefault, &laterDefault}};
    library.types = {&events, &secondary, &incoming, &laterDefault};
    own.guid = kIncoming;
    own.library = &library;

    eventsPoint.iid = kEvents;
    secondaryPoint.iid = kSecondary;
    laterPoint.iid = kLaterDefault;
    source.classInfo = &coclass;
    source.ownInfo = &own;
    source.points = {&secondaryPoint, &eventsPoint, &laterPoint};
  }

  Variant Value() { return Variant(DispatchRef(source.Dispatch())); }

  // Every reference and every type description the sink took was given back.
  void ExpectAllReturned() {
    for (FakeTypeInfo* t : {&events, &secondary, &incoming, &laterDefault, &coclass, &own}) {
      EXPECT_EQ(t->refs, 1u);
      EXPECT_EQ(t->attrsHeld, 0);
      EXPECT_EQ(t->descsHeld, 0);
    }
    EXPECT_EQ(library.refs, 1u);
    for (FakeConnectionPoint* p : {&eventsPoint, &secondaryPoint, &laterPoint}) EXPECT_EQ(p->refs, 1u);
    EXPECT_EQ(source.enumerator.refs, 1u);
    EXPECT_EQ(source.refs, 1u);
  }
};

QStringList Names(const TComEvents& sink) {
  QStringList names;
  for (int i = 0; i < sink.Count(); ++i) names << sink.GetNames(i);
  return names;
}

std::vector<int> Ids(const TComEvents& sink) {
  std::vector<int> ids;
  for (int i = 0; i < sink.Count(); ++i) ids.push_back(sink.GetIDs(i));
  return ids;
}

struct Delivery {
  IDispatch* sender = nullptr;
  QString event;
  int id = 0;
  std::vector<QString> params;
};

// ---- Finding the event interface -----------------------------------------------------

TEST(ComEventsDiscovery, ClassInformationNamesTheFirstDefaultSourceInterface) {
  Publisher p;
  {
    TComEvents sink(p.Value());
    EXPECT_TRUE(IsEqualIID(sink.EventInterface(), kEvents));
    EXPECT_EQ(Names(sink), QStringList({"OnCreated", "OnMoved", "OnReleased"}));
    EXPECT_EQ(Ids(sink), std::vector<int>({1, 4, 5}));
    // Only the interface chosen is asked for; the enumeration is not needed.
    ASSERT_EQ(p.source.found.size(), 1u);
    EXPECT_TRUE(IsEqualIID(p.source.found[0], kEvents));
    EXPECT_TRUE(p.source.enumerator.requested.empty());

    sink.SetSinked(true);
    EXPECT_TRUE(sink.Sinked());
    EXPECT_EQ(p.eventsPoint.advises, 1);
    EXPECT_EQ(p.secondaryPoint.advises + p.laterPoint.advises, 0);
  }
  p.ExpectAllReturned();
}

TEST(ComEventsDiscovery, DefaultInterfaceWithoutConnectionPointFallsBackToEnumeration) {
  Publisher p;
  p.source.points = {&p.secondaryPoint};
  {
    TComEvents sink(p.Value());
    EXPECT_TRUE(IsEqualIID(sink.EventInterface(), kSecondary));
    // The names of the interface connected to, not mixed with those read
    // for the default interface: their dispatch ids overlap.
    EXPECT_EQ(Names(sink), QStringList({"OnSecondaryOne", "OnSecondarySeven"}));
    EXPECT_EQ(Ids(sink), std::vector<int>({1, 7}));
    sink.SetSinked(true);
    EXPECT_EQ(p.secondaryPoint.advises, 1);
  }
  p.ExpectAllReturned();
}

TEST(ComEventsDiscovery, WithoutClassInformationTheFirstDispatchInterfaceAmongTenWins) {
  Publisher p;
  p.source.offersClassInfo = false;
  FakeTypeInfo vtableOnly;
  vtableOnly.guid = kVtableOnly;
  vtableOnly.kind = TKIND_INTERFACE;
  p.library.types.push_back(&vtableOnly);

  FakeConnectionPoint broken, unknown[6], vtable;
  broken.interfaceFails = true;
  for (int i = 0; i < 6; ++i) unknown[i].iid = ComGuid("{00000000-1111-2222-3333-444444444444}");
  vtable.iid = kVtableOnly;
  // Positions 1 to 8 hold nothing usable; the 9th is the secondary
  // interface, the 10th the default one.
  p.source.points = {&broken, &unknown[0], &vtable, &unknown[1], &unknown[2], &unknown[3], &unknown[4], &unknown[5],
                     &p.secondaryPoint, &p.eventsPoint};
  {
    TComEvents sink(p.Value());
    EXPECT_TRUE(IsEqualIID(sink.EventInterface(), kSecondary));
    EXPECT_EQ(Names(sink), QStringList({"OnSecondaryOne", "OnSecondarySeven"}));
    EXPECT_EQ(p.source.enumerator.requested, std::vector<ULONG>({10}));
    // Every fetched point but the one kept has been released.
    for (FakeConnectionPoint* other : p.source.points) {
      if (other == &p.secondaryPoint) continue;
      EXPECT_EQ(other->refs, 1u);
    }
    EXPECT_EQ(p.secondaryPoint.refs, 2u);
  }
  EXPECT_EQ(vtableOnly.refs, 1u);
  EXPECT_EQ(vtableOnly.attrsHeld, 0);
  for (FakeConnectionPoint* q : {&broken, &unknown[0], &vtable}) EXPECT_EQ(q->refs, 1u);
  p.ExpectAllReturned();
}

TEST(ComEventsDiscovery, AnEleventhConnectionPointIsNeverConsidered) {
  Publisher p;
  p.source.offersClassInfo = false;
  FakeConnectionPoint unknown[10];
  p.source.points.clear();
  for (FakeConnectionPoint& u : unknown) {
    u.iid = ComGuid("{00000000-1111-2222-3333-444444444444}");
    p.source.points.push_back(&u);
  }
  p.source.points.push_back(&p.eventsPoint);  // the 11th
  {
    TComEvents sink(p.Value());
    EXPECT_EQ(sink.Count(), 0);
    EXPECT_TRUE(IsEqualIID(sink.EventInterface(), IID_IUnknown));
    sink.SetSinked(true);
    EXPECT_FALSE(sink.Sinked());
    EXPECT_EQ(p.eventsPoint.advises, 0);
  }
  for (FakeConnectionPoint& u : unknown) EXPECT_EQ(u.refs, 1u);
  p.ExpectAllReturned();
}

TEST(ComEventsDiscovery, NoUsableInterfaceGivesAnInertSink) {
  Publisher p;
  p.coclass.impls = {{kDefault, &p.incoming}};  // no outgoing interface at all
  p.source.ownInfo = nullptr;                   // and no type information of its own
  {
    TComEvents sink(p.Value());
    EXPECT_EQ(sink.Count(), 0);
    sink.SetSinked(true);
    EXPECT_FALSE(sink.Sinked());
    EXPECT_EQ(p.eventsPoint.advises + p.secondaryPoint.advises + p.laterPoint.advises, 0);
  }
  p.ExpectAllReturned();
}

// ---- Sources that cannot be sinked --------------------------------------------------

TEST(ComEventsCreation, ASourceNotHeldAsDispatchInterfaceIsRefused) {
  Publisher p;
  VARIANT unknown;
  VariantInit(&unknown);
  unknown.vt = VT_UNKNOWN;
  unknown.punkVal = static_cast<IDispatch*>(&p.source);
  // Even an object that has the dispatch interface, when it is held as
  // IUnknown; a null object holds no interface at all.
  for (const Variant& v : {Variant(42), Variant("00000000AB"), Variant(), Variant::Copy(unknown),
                           Variant(DispatchRef())}) {
    try {
      TComEvents sink(v);
      ADD_FAILURE() << "created on variant type " << v.Type();
    } catch (const ComError& e) {
      EXPECT_EQ(e.Status(), DISP_E_UNKNOWNINTERFACE);
    }
  }
  p.ExpectAllReturned();
}

TEST(ComEventsCreation, ASourceWithoutContainerRaisesItsRefusal) {
  Publisher p;
  for (HRESULT refusal : {E_NOINTERFACE, E_ACCESSDENIED}) {
    p.source.containerRefusal = refusal;
    try {
      TComEvents sink(p.Value());
      ADD_FAILURE() << "created without a connection-point container";
    } catch (const ComError& e) {
      EXPECT_EQ(e.Status(), refusal);
    }
  }
  // The source the failed creation had taken is released again.
  p.ExpectAllReturned();
}

// ---- Connecting -------------------------------------------------------------------------

TEST(ComEventsConnection, ConnectsOnceAndStaysConnectedWhenUnadviseFails) {
  Publisher p;
  {
    TComEvents sink(p.Value());
    sink.SetSinked(true);
    sink.SetSinked(true);
    EXPECT_EQ(p.eventsPoint.advises, 1);
    const DWORD cookie = 0x4001;

    p.eventsPoint.unadviseResult = CONNECT_E_NOCONNECTION;
    sink.SetSinked(false);
    EXPECT_TRUE(sink.Sinked());
    EXPECT_EQ(p.eventsPoint.lastUnadviseCookie, cookie);

    p.eventsPoint.unadviseResult = S_OK;
    sink.SetSinked(false);
    EXPECT_FALSE(sink.Sinked());
    sink.SetSinked(false);
    EXPECT_EQ(p.eventsPoint.unadvises, 2);

    // Connected again under a new cookie, which the destruction hands back.
    sink.SetSinked(true);
    EXPECT_TRUE(sink.Sinked());
    EXPECT_EQ(p.eventsPoint.advises, 2);
  }
  EXPECT_EQ(p.eventsPoint.unadvises, 3);
  EXPECT_EQ(p.eventsPoint.lastUnadviseCookie, 0x4002u);
  EXPECT_EQ(p.eventsPoint.sink, nullptr);
  p.ExpectAllReturned();
}

TEST(ComEventsConnection, RefusedAdviseLeavesTheSinkDisconnectedWithoutError) {
  Publisher p;
  p.eventsPoint.adviseResult = CONNECT_E_ADVISELIMIT;
  {
    TComEvents sink(p.Value());
    sink.SetSinked(true);
    EXPECT_FALSE(sink.Sinked());
    sink.SetSinked(true);  // asks again: the source may accept now
    EXPECT_EQ(p.eventsPoint.advises, 2);
  }
  EXPECT_EQ(p.eventsPoint.unadvises, 0);
  p.ExpectAllReturned();
}

TEST(ComEventsConnection, ASinkThatNeverConnectedIsFreedWithoutUnadvise) {
  Publisher p;
  { TComEvents sink(p.Value()); }
  EXPECT_EQ(p.eventsPoint.advises, 0);
  EXPECT_EQ(p.eventsPoint.unadvises, 0);
  p.ExpectAllReturned();
}

TEST(ComEventsConnection, FailingUnadviseAtDestructionIsSwallowed) {
  Publisher p;
  p.eventsPoint.unadviseResult = E_UNEXPECTED;
  {
    TComEvents sink(p.Value());
    sink.SetSinked(true);
  }
  EXPECT_EQ(p.eventsPoint.unadvises, 1);
  EXPECT_EQ(p.eventsPoint.refs, 1u);
  EXPECT_EQ(p.source.refs, 1u);
}

// ---- Delivery -------------------------------------------------------------------------------

class ComEventsDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_unique<TComEvents>(p_.Value());
    sink_->SetSinked(true);
    ASSERT_NE(p_.eventsPoint.sink, nullptr);
  }
  void Record() {
    sink_->SetOnEvent([this](const Variant& sender, const QString& event, int id, TVariantArray& params) {
      Delivery d{sender.Raw().pdispVal, event, id, {}};
      for (const Variant& v : params) d.params.push_back(v.ToString());
      got_.push_back(d);
    });
  }

  Publisher p_;
  std::unique_ptr<TComEvents> sink_;
  std::vector<Delivery> got_;
};

TEST_F(ComEventsDelivery, ArgumentsArriveInDeclarationOrderWithNameIdAndSource) {
  Record();
  EXPECT_EQ(p_.eventsPoint.Fire(4, {Variant("a"), Variant("b"), Variant("c")}), S_OK);
  EXPECT_EQ(p_.eventsPoint.Fire(1, {}), S_OK);
  ASSERT_EQ(got_.size(), 2u);
  EXPECT_EQ(got_[0].sender, p_.source.Dispatch());
  EXPECT_EQ(got_[0].event, "OnMoved");
  EXPECT_EQ(got_[0].id, 4);
  EXPECT_EQ(got_[0].params, std::vector<QString>({"a", "b", "c"}));
  EXPECT_EQ(got_[1].event, "OnCreated");
  EXPECT_TRUE(got_[1].params.empty());
}

TEST_F(ComEventsDelivery, WithoutHandlerOrForAnUnknownIdTheCallIsAcknowledgedAndDropped) {
  EXPECT_EQ(p_.eventsPoint.Fire(1, {Variant("x")}), S_OK);
  Record();
  // 2 and 3 were in the type information but could not be read; 0x60000000
  // is a skipped name; 99 was never there.
  for (DISPID id : {2, 3, 0x60000000, 99}) EXPECT_EQ(p_.eventsPoint.Fire(id, {Variant("x")}), S_OK);
  EXPECT_TRUE(got_.empty());
}

TEST_F(ComEventsDelivery, ArgumentsByReferenceArriveAsValuesAndChangesStayWithTheHandler) {
  sink_->SetOnEvent([this](const Variant&, const QString&, int, TVariantArray& params) {
    got_.push_back({nullptr, {}, 0, {params.at(0).ToString()}});
    params[0] = Variant("changed");
    params.clear();
  });
  Variant referred("by reference");
  VARIANT raw[1];
  VariantInit(&raw[0]);
  raw[0].vt = VT_BYREF | VT_VARIANT;
  raw[0].pvarVal = const_cast<VARIANT*>(&referred.Raw());
  DISPPARAMS params{raw, nullptr, 1, 0};
  EXPECT_EQ(p_.eventsPoint.sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  ASSERT_EQ(got_.size(), 1u);
  EXPECT_EQ(got_[0].params, std::vector<QString>({"by reference"}));
  EXPECT_EQ(referred.ToString(), "by reference");
}

TEST_F(ComEventsDelivery, NothingTheHandlerThrowsLeavesInvoke) {
  int calls = 0;
  sink_->SetOnEvent([&](const Variant&, const QString& event, int, TVariantArray&) {
    ++calls;
    if (event == "OnCreated") throw std::runtime_error("handler failed");
    throw 42;
  });
  EXPECT_EQ(p_.eventsPoint.Fire(1, {}), S_OK);
  EXPECT_EQ(p_.eventsPoint.Fire(4, {Variant("a")}), S_OK);
  EXPECT_EQ(calls, 2);
  // A null argument list is an event without arguments.
  Record();
  EXPECT_EQ(p_.eventsPoint.sink->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), S_OK);
  ASSERT_EQ(got_.size(), 1u);
  EXPECT_EQ(got_[0].event, "OnReleased");
}

TEST_F(ComEventsDelivery, TheSinkIsADispatchObjectWithoutTypeInformationOrCounting) {
  IDispatch* d = sink_.get();
  void* out = nullptr;
  EXPECT_EQ(d->QueryInterface(kEvents, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(d));
  EXPECT_EQ(d->QueryInterface(kSecondary, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(d->AddRef(), 1u);
  EXPECT_EQ(d->Release(), 1u);
  UINT count = 7;
  EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(&count);
  EXPECT_EQ(d->GetTypeInfo(0, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
  OLECHAR name[] = u"OnCreated";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
}

}  // namespace
