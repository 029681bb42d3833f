// Late-bound dispatch, variants and the typed wrappers, against a
// hand-written automation object that records what arrives.

#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include "fake_dispatch.h"
#include "outlook/dispatch_ref.h"
#include "outlook/messaging.h"
#include "outlook/redemption_ids.h"

namespace {

using outlook::ComError;
using outlook::DispatchRef;
using outlook::Omitted;
using outlook::Variant;
using testing_fakes::FakeDispatch;
using testing_fakes::Failure;

constexpr WORD kGetFlags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

// ---- Variant ------------------------------------------------------------------------

TEST(Variant, UsualTextConversion) {
  EXPECT_EQ(Variant().ToString(), QString());
  EXPECT_EQ(Variant::Null().ToString(), QString());
  EXPECT_EQ(Variant(true).ToString(), QStringLiteral("True"));
  EXPECT_EQ(Variant(false).ToString(), QStringLiteral("False"));
  EXPECT_EQ(Variant(42).ToString(), QStringLiteral("42"));
  EXPECT_EQ(Variant("00000000ABCD").ToString(), QStringLiteral("00000000ABCD"));
  EXPECT_THROW(Omitted().ToString(), ComError);
}

TEST(Variant, TextKeepsEmbeddedNulsAndSurrogatePairs) {
  const QString text = QString::fromUtf16(u"a\0b\U0001F600", 5);
  ASSERT_EQ(text.size(), 5);
  const Variant v(text);
  EXPECT_EQ(v.Type(), VT_BSTR);
  EXPECT_EQ(SysStringLen(v.Raw().bstrVal), 5u);
  EXPECT_EQ(v.ToString(), text);
}

TEST(Variant, NumbersAndBooleansConvertOrRaise) {
  EXPECT_EQ(Variant("12").ToInt(), 12);
  EXPECT_TRUE(Variant(-1).ToBool());
  EXPECT_FALSE(Variant().ToBool());
  try {
    Variant("twelve").ToInt();
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), DISP_E_TYPEMISMATCH);
  }
}

TEST(Variant, DispatchValuesShareTheObject) {
  FakeDispatch object;
  {
    const DispatchRef ref(&object);
    EXPECT_EQ(object.refs, 2u);
    Variant v(ref);
    EXPECT_EQ(object.refs, 3u);
    Variant copy = v;
    EXPECT_EQ(object.refs, 4u);
    EXPECT_EQ(copy.ToDispatch().Interface(), static_cast<IDispatch*>(&object));
    EXPECT_EQ(object.refs, 4u);  // the temporary reference is gone again
  }
  EXPECT_EQ(object.refs, 1u);
  EXPECT_TRUE(Variant().ToDispatch().IsNull());
  EXPECT_TRUE(Variant::Null().ToDispatch().IsNull());
  EXPECT_THROW(Variant(3).ToDispatch(), ComError);
}

// ---- DispatchRef ----------------------------------------------------------------------

TEST(DispatchRef, GetReadsByNameWithoutArguments) {
  FakeDispatch object;
  object.results[QStringLiteral("Subject")] = Variant("Hello");
  const DispatchRef ref(&object);
  EXPECT_EQ(ref.Get(u"Subject").ToString(), QStringLiteral("Hello"));
  ASSERT_EQ(object.calls.size(), 1u);
  EXPECT_EQ(object.Last().flags, kGetFlags);
  EXPECT_TRUE(object.Last().args.empty());
  EXPECT_TRUE(object.Last().namedArgs.empty());
}

TEST(DispatchRef, CallPassesArgumentsInDeclarationOrderAndOmittedAsParamNotFound) {
  FakeDispatch object;
  const DispatchRef ref(&object);
  ref.Call(u"FindControl", 1, 7095, Omitted(), Omitted());
  const auto& call = object.Last();
  ASSERT_EQ(call.args.size(), 4u);
  EXPECT_EQ(call.args[0].Raw().vt, VT_I4);
  EXPECT_EQ(call.args[0].Raw().lVal, 1);
  EXPECT_EQ(call.args[1].Raw().lVal, 7095);
  for (int i : {2, 3}) {
    EXPECT_EQ(call.args[i].Raw().vt, VT_ERROR);
    EXPECT_EQ(call.args[i].Raw().scode, DISP_E_PARAMNOTFOUND);
  }
}

TEST(DispatchRef, PutSendsTheValueAsTheNamedPropertyPutArgument) {
  FakeDispatch object;
  const DispatchRef ref(&object);
  ref.Put(u"Subject", Variant("Dummy"));
  EXPECT_EQ(object.Last().flags, DISPATCH_PROPERTYPUT);
  ASSERT_EQ(object.Last().namedArgs, std::vector<DISPID>{DISPID_PROPERTYPUT});
  EXPECT_TRUE(object.Last().args.empty());
  EXPECT_EQ(object.Last().putValue.ToString(), QStringLiteral("Dummy"));

  ref.PutIndexed(u"Fields", {Variant("index")}, Variant("value"));
  ASSERT_EQ(object.Last().args.size(), 1u);
  EXPECT_EQ(object.Last().args[0].ToString(), QStringLiteral("index"));
  EXPECT_EQ(object.Last().putValue.ToString(), QStringLiteral("value"));
}

TEST(DispatchRef, UnknownMemberRaisesWithTheNameAndStatus) {
  FakeDispatch object;
  const DispatchRef ref(&object);
  try {
    ref.Get(u"NoSuchMember");
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), DISP_E_UNKNOWNNAME);
    EXPECT_TRUE(e.Message().contains(QStringLiteral("\"NoSuchMember\""))) << e.what();
    EXPECT_TRUE(e.Message().contains(QStringLiteral("80020006"))) << e.what();
  }
  EXPECT_TRUE(object.calls.empty());
}

TEST(DispatchRef, ServerExceptionBecomesTheMessageAndItsCode) {
  FakeDispatch object;
  object.failures[QStringLiteral("GetFolderFromID")] =
      Failure{DISP_E_EXCEPTION, QStringLiteral("Folder not found"), static_cast<SCODE>(0x8004010F), false};
  const DispatchRef ref(&object);
  try {
    ref.Call(u"GetFolderFromID", "00000000AA", "00000000BB", Omitted());
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Folder not found"));
    EXPECT_EQ(static_cast<uint32_t>(e.Status()), 0x8004010Fu);
  }
}

TEST(DispatchRef, DeferredExceptionInformationIsFilledIn) {
  FakeDispatch object;
  object.failures[QStringLiteral("Send")] = Failure{DISP_E_EXCEPTION, QStringLiteral("No recipients"), E_FAIL, true};
  const DispatchRef ref(&object);
  try {
    ref.Call(u"Send");
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("No recipients"));
    EXPECT_EQ(e.Status(), E_FAIL);
  }
}

TEST(DispatchRef, PlainFailingStatusNamesTheMemberAndStatus) {
  FakeDispatch object;
  object.failures[QStringLiteral("Save")] = Failure{E_ACCESSDENIED, QString(), 0, false};
  const DispatchRef ref(&object);
  try {
    ref.Call(u"Save");
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), E_ACCESSDENIED);
    EXPECT_EQ(e.Message(), QStringLiteral("Call of \"Save\" failed (status 0x80070005)"));
  }
}

TEST(DispatchRef, EmptyReferenceRaisesInsteadOfCrashing) {
  const DispatchRef empty;
  try {
    empty.Get(u"Name");
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), E_POINTER);
  }
  EXPECT_THROW(outlook::RdoFolder().Name(), ComError);
}

TEST(DispatchRef, ResultObjectsAreReleasedWithTheirWrappers) {
  FakeDispatch stores, session;  // a holder is declared after what it holds
  session.results[QStringLiteral("Stores")] = Variant(DispatchRef(&stores));
  ASSERT_EQ(stores.refs, 2u);  // held by the result table
  {
    const outlook::RdoSession rdo{DispatchRef(&session)};
    const outlook::RdoStores s = rdo.Stores();
    EXPECT_EQ(stores.refs, 3u);
  }
  EXPECT_EQ(stores.refs, 2u);
  EXPECT_EQ(session.refs, 1u);
}

TEST(DispatchRef, QueryInterfaceFailureIsAnInterfaceCastError) {
  FakeDispatch object;
  const DispatchRef ref(&object);
  EXPECT_THROW(ref.QueryInterface(outlook::ids::IID_IRDOFolder2), outlook::InterfaceCastError);
  object.interfaces.push_back(outlook::ids::IID_IRDOFolder2);
  EXPECT_FALSE(ref.QueryInterface(outlook::ids::IID_IRDOFolder2).IsNull());
  EXPECT_EQ(object.refs, 2u);
}

// ---- Typed wrappers: what reaches the library ---------------------------------------------

TEST(Wrappers, SessionCallsPassOmittedOptionalArguments) {
  FakeDispatch folder, session;
  session.results[QStringLiteral("GetFolderFromID")] = Variant(DispatchRef(&folder));
  const outlook::RdoSession rdo{DispatchRef(&session)};

  rdo.Logon();
  ASSERT_EQ(session.Last().name, QStringLiteral("Logon"));
  ASSERT_EQ(session.Last().args.size(), 6u);
  for (const Variant& a : session.Last().args) EXPECT_TRUE(a.IsOmitted());

  EXPECT_FALSE(rdo.GetFolderFromID(QStringLiteral("00000000F1"), QStringLiteral("00000000S1")).IsNull());
  const auto& call = session.Last();
  ASSERT_EQ(call.args.size(), 3u);
  EXPECT_EQ(call.args[0].ToString(), QStringLiteral("00000000F1"));
  EXPECT_EQ(call.args[1].ToString(), QStringLiteral("00000000S1"));
  EXPECT_TRUE(call.args[2].IsOmitted());

  // A cancelled picker answers nothing: a null folder, not an error.
  EXPECT_TRUE(rdo.PickFolder(1).IsNull());
  ASSERT_EQ(session.Last().args.size(), 5u);
  EXPECT_TRUE(session.Last().args[3].IsOmitted());
  EXPECT_EQ(session.Last().args[4].ToInt(), 1);
}

TEST(Wrappers, NamedPropertyGoesThroughFieldsWithItsDaslName) {
  FakeDispatch mail;
  const outlook::RdoMail message{DispatchRef(&mail)};
  EXPECT_EQ(message.NamedProperty(QStringLiteral("Varnel")), QString());  // never set: empty
  const QString dasl =
      QStringLiteral("http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/Varnel");
  EXPECT_EQ(mail.Last().name, QStringLiteral("Fields"));
  ASSERT_EQ(mail.Last().args.size(), 1u);
  EXPECT_EQ(mail.Last().args[0].ToString(), dasl);

  message.SetNamedProperty(QStringLiteral("Varnel"), QStringLiteral("Outgoing"));
  EXPECT_EQ(mail.Last().flags, DISPATCH_PROPERTYPUT);
  EXPECT_EQ(mail.Last().args[0].ToString(), dasl);
  EXPECT_EQ(mail.Last().putValue.ToString(), QStringLiteral("Outgoing"));
}

TEST(Wrappers, ParentIsViewedThroughTheFolderInterface) {
  FakeDispatch parent, mail;
  mail.results[QStringLiteral("Parent")] = Variant(DispatchRef(&parent));
  const outlook::RdoMail message{DispatchRef(&mail)};
  EXPECT_THROW(message.Parent(), outlook::InterfaceCastError);
  parent.interfaces.push_back(outlook::ids::IID_IRDOFolder);
  parent.results[QStringLiteral("EntryID")] = Variant("00000000CAFE");
  EXPECT_EQ(message.Parent().EntryID(), QStringLiteral("00000000CAFE"));
}

TEST(Wrappers, CollectionsAreOneBasedAndAttachmentsTakeFourArguments) {
  FakeDispatch mail, items;
  items.results[QStringLiteral("Item")] = Variant(DispatchRef(&mail));
  const outlook::RdoItems list{DispatchRef(&items)};
  list.Item(1);
  EXPECT_EQ(items.Last().args.at(0).Raw().vt, VT_I4);
  EXPECT_EQ(items.Last().args.at(0).Raw().lVal, 1);

  FakeDispatch attachments;
  const outlook::RdoAttachments a{DispatchRef(&attachments)};
  a.Add(QStringLiteral("/tmp/K.txt"), outlook::ids::olByValue, 1, QStringLiteral("K.txt"));
  const auto& call = attachments.Last();
  ASSERT_EQ(call.args.size(), 4u);
  EXPECT_EQ(call.args[0].ToString(), QStringLiteral("/tmp/K.txt"));
  EXPECT_EQ(call.args[1].ToInt(), 1);
  EXPECT_EQ(call.args[2].ToInt(), 1);
  EXPECT_EQ(call.args[3].ToString(), QStringLiteral("K.txt"));
}

TEST(Wrappers, OutlookIsFoundThroughTheRunningObjectTable) {
  EXPECT_FALSE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
  EXPECT_THROW(outlook::OutlookApplication::Connect(), ComError);
  EXPECT_FALSE(outlook::IsObjectActive(QStringLiteral("No.Such.ProgID")));

  FakeDispatch ns, app;
  app.results[QStringLiteral("GetNameSpace")] = Variant(DispatchRef(&ns));
  DWORD cookie = 0;
  ASSERT_TRUE(SUCCEEDED(RegisterActiveObject(&app, outlook::ids::CLSID_OutlookApplication, ACTIVEOBJECT_STRONG,
                                             &cookie)));
  EXPECT_TRUE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
  {
    const auto application = outlook::OutlookApplication::Connect();
    const auto nameSpace = application.GetNameSpace(QStringLiteral("MAPI"));
    EXPECT_EQ(app.Last().args.at(0).ToString(), QStringLiteral("MAPI"));
    nameSpace.Logon(QString(), QString(), false, false);
    ASSERT_EQ(ns.Last().args.size(), 4u);
    EXPECT_EQ(ns.Last().args[2].Raw().vt, VT_BOOL);
    nameSpace.SendAndReceive(false);
    EXPECT_EQ(ns.Last().name, QStringLiteral("SendAndReceive"));
  }
  ASSERT_EQ(RevokeActiveObject(cookie, nullptr), S_OK);
  EXPECT_EQ(app.refs, 1u);
  EXPECT_FALSE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
}

}  // namespace
