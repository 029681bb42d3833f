// The COM runtime of systems without one: BSTR layout, VARIANT ownership and
// conversions, GUID text, ProgIDs and the running-object table.

#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/com/guid_text.h"
#include "platform/com/progid_registry.h"
#include "tests/support/fake_com.h"

namespace {

using platform::com::ComGuid;

std::u16string Text(BSTR b) { return std::u16string(b, SysStringLen(b)); }

// A counted object answering IUnknown and IDispatch; its default member
// (DISPID_VALUE) reads as the text held in value.
class CountedObject : public IDispatch {
 public:
  std::atomic<ULONG> refs{1};
  const char16_t* value = nullptr;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return fake_com::Query(riid, ppv, {{IID_IDispatch, static_cast<IDispatch*>(this)}});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !value) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(value);
    return S_OK;
  }
};

// ---- BSTR ------------------------------------------------------------------------

TEST(Bstr, LengthPrefixHoldsTheByteCountAndTextIsTerminated) {
  BSTR b = SysAllocString(u"Pendrix");
  ASSERT_NE(b, nullptr);
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 14u);
  EXPECT_EQ(SysStringLen(b), 7u);
  EXPECT_EQ(SysStringByteLen(b), 14u);
  EXPECT_EQ(b[7], u'\0');
  SysFreeString(b);
}

TEST(Bstr, EmbeddedNulsCountInTheLength) {
  const OLECHAR raw[] = {u'a', 0, u'b', 0, 0};
  BSTR b = SysAllocStringLen(raw, 5);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(Text(b), std::u16string(raw, 5));

  // A copy keeps them: the length comes from the prefix, not the terminator.
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = b;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(dst.bstrVal, b);
  EXPECT_EQ(Text(dst.bstrVal), std::u16string(raw, 5));
  VariantClear(&src);
  VariantClear(&dst);
}

TEST(Bstr, NullAndEmptyAreDifferentButBothHaveLengthZero) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);  // allowed

  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], u'\0');
  SysFreeString(empty);

  BSTR zeroed = SysAllocStringLen(nullptr, 3);  // room for 3, filled with NULs here
  EXPECT_EQ(SysStringLen(zeroed), 3u);
  SysFreeString(zeroed);
}

TEST(Bstr, OddByteLengthStaysTerminated) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(SysStringLen(b), 1u);
  EXPECT_EQ(reinterpret_cast<char*>(b)[3], '\0');
  EXPECT_EQ(reinterpret_cast<char*>(b)[4], '\0');
  SysFreeString(b);
}

// ---- VARIANT ownership ------------------------------------------------------------

TEST(Variant, CopyAddsAReferenceAndClearReleasesIt) {
  CountedObject object;
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = VT_DISPATCH;
  a.pdispVal = &object;
  object.AddRef();
  ASSERT_EQ(object.refs, 2u);

  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(object.refs, 3u);
  EXPECT_EQ(b.pdispVal, &object);

  // Copying over a variant that holds the object releases the old reference first.
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(object.refs, 3u);

  EXPECT_EQ(VariantClear(&b), S_OK);
  EXPECT_EQ(b.vt, VT_EMPTY);
  EXPECT_EQ(object.refs, 2u);
  VariantClear(&a);
  EXPECT_EQ(object.refs, 1u);
}

TEST(Variant, SelfCopyAndByRefOwnNothingExtra) {
  CountedObject object;
  VARIANT a;
  VariantInit(&a);
  a.vt = VT_UNKNOWN;
  a.punkVal = &object;
  object.AddRef();
  EXPECT_EQ(VariantCopy(&a, &a), S_OK);
  EXPECT_EQ(object.refs, 2u);

  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &a;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);  // the reference itself, no AddRef
  EXPECT_EQ(object.refs, 2u);
  VariantClear(&copy);
  EXPECT_EQ(object.refs, 2u);

  ASSERT_EQ(VariantCopyInd(&copy, &ref), S_OK);  // what it refers to
  EXPECT_EQ(copy.vt, VT_UNKNOWN);
  EXPECT_EQ(object.refs, 3u);
  VariantClear(&copy);
  VariantClear(&a);
  EXPECT_EQ(object.refs, 1u);
}

TEST(Variant, ClearRefusesAnUnknownType) {
  VARIANT v;
  VariantInit(&v);
  v.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
}

// ---- VARIANT conversions ---------------------------------------------------------

std::u16string AsText(VARIANT v, USHORT flags = 0) {
  VARIANT out;
  VariantInit(&out);
  const HRESULT hr = VariantChangeType(&out, &v, flags, VT_BSTR);
  if (FAILED(hr)) return u"<failed>";
  std::u16string text = Text(out.bstrVal);
  VariantClear(&out);
  return text;
}

VARIANT Make(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

TEST(VariantChangeType, ToTextFollowsOleAutomation) {
  EXPECT_EQ(AsText(Make(VT_EMPTY)), u"");
  EXPECT_EQ(AsText(Make(VT_NULL)), u"<failed>");  // null has no text

  VARIANT i4 = Make(VT_I4);
  i4.lVal = -42;
  EXPECT_EQ(AsText(i4), u"-42");

  // Booleans give "-1"/"0"; with VARIANT_ALPHABOOL "True"/"False".
  VARIANT yes = Make(VT_BOOL);
  yes.boolVal = VARIANT_TRUE;
  VARIANT no = Make(VT_BOOL);
  no.boolVal = VARIANT_FALSE;
  EXPECT_EQ(AsText(yes), u"-1");
  EXPECT_EQ(AsText(no), u"0");
  EXPECT_EQ(AsText(yes, VARIANT_ALPHABOOL), u"True");
  EXPECT_EQ(AsText(no, VARIANT_ALPHABOOL), u"False");

  VARIANT r8 = Make(VT_R8);
  r8.dblVal = 2.5;
  EXPECT_EQ(AsText(r8), u"2.5");
  r8.dblVal = 1e20;
  EXPECT_EQ(AsText(r8), u"1E+20");

  VARIANT error = Make(VT_ERROR);
  error.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(AsText(error), u"<failed>");
}

TEST(VariantChangeType, DatesAsEnglishText) {
  VARIANT d = Make(VT_DATE);
  d.date = 36526.0;  // 1 January 2000, midnight: the date only
  EXPECT_EQ(AsText(d), u"1/1/2000");
  d.date = 36526.75;
  EXPECT_EQ(AsText(d), u"1/1/2000 6:00:00 PM");
  d.date = 0.5;  // day zero: the time only
  EXPECT_EQ(AsText(d), u"12:00:00 PM");
  d.date = 0.0;
  EXPECT_EQ(AsText(d), u"12:00:00 AM");
  d.date = 2.0;
  EXPECT_EQ(AsText(d), u"1/1/1900");
  d.date = -1.25;  // before day zero the fraction is still the time of day
  EXPECT_EQ(AsText(d), u"12/29/1899 6:00:00 AM");
}

TEST(VariantChangeType, TextToNumbersAndBooleans) {
  VARIANT s = Make(VT_BSTR);
  VARIANT out;
  VariantInit(&out);

  s.bstrVal = SysAllocString(u" 123 ");
  ASSERT_EQ(VariantChangeType(&out, &s, 0, VT_I4), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 123);
  VariantClear(&s);

  s = Make(VT_BSTR);
  s.bstrVal = SysAllocString(u"2.5");  // halves round to even
  ASSERT_EQ(VariantChangeType(&out, &s, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 2);
  VariantClear(&s);

  s = Make(VT_BSTR);
  s.bstrVal = SysAllocString(u"12abc");
  EXPECT_EQ(VariantChangeType(&out, &s, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VariantClear(&s);

  s = Make(VT_BSTR);
  s.bstrVal = SysAllocString(u"3000000000");
  EXPECT_EQ(VariantChangeType(&out, &s, 0, VT_I4), DISP_E_OVERFLOW);
  VariantClear(&s);

  s = Make(VT_BSTR);
  s.bstrVal = SysAllocString(u"true");
  ASSERT_EQ(VariantChangeType(&out, &s, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  VariantClear(&s);

  s = Make(VT_BSTR);
  s.bstrVal = SysAllocString(u"0");
  ASSERT_EQ(VariantChangeType(&out, &s, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  VariantClear(&s);

  VARIANT i4 = Make(VT_I4);
  i4.lVal = 7;
  ASSERT_EQ(VariantChangeType(&out, &i4, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  VARIANT b = Make(VT_BOOL);
  b.boolVal = VARIANT_TRUE;
  ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, -1);
  EXPECT_EQ(VariantChangeType(&out, &i4, 0, VT_EMPTY), S_OK);
  EXPECT_EQ(out.vt, VT_EMPTY);
  VariantClear(&out);
}

TEST(VariantChangeType, InPlaceConversionFreesTheOldValue) {
  VARIANT v = Make(VT_I4);
  v.lVal = 5;
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Text(v.bstrVal), u"5");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the text is freed, not leaked
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 5);

  // A failed conversion leaves the destination as it was.
  VARIANT nul = Make(VT_NULL);
  EXPECT_EQ(VariantChangeType(&v, &nul, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(v.vt, VT_I4);
}

TEST(VariantChangeType, ObjectsConvertThroughTheirDefaultMember) {
  CountedObject object;
  object.value = u"from the object";
  VARIANT v = Make(VT_DISPATCH);
  v.pdispVal = &object;
  EXPECT_EQ(AsText(v), u"from the object");
  EXPECT_EQ(VariantChangeType(&v, &v, VARIANT_NOVALUEPROP, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object.refs, 1u);

  VARIANT unk;
  VariantInit(&unk);
  ASSERT_EQ(VariantChangeType(&unk, &v, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(object.refs, 2u);
  VariantClear(&unk);
  EXPECT_EQ(object.refs, 1u);

  VARIANT ref = Make(VT_BYREF | VT_VARIANT);
  ref.pvarVal = &v;
  EXPECT_EQ(AsText(ref), u"from the object");
}

// ---- GUIDs and ProgIDs ----------------------------------------------------------------

TEST(Guid, TextRoundTripsAndMalformedTextIsRefused) {
  constexpr GUID kSession = ComGuid("{29AB7A12-B531-450E-8F7A-EA94C2F3C05F}");
  static_assert(kSession.Data1 == 0x29AB7A12 && kSession.Data4[7] == 0x5F);
  OLECHAR buf[39];
  ASSERT_EQ(StringFromGUID2(kSession, buf, 39), 39);
  EXPECT_EQ(std::u16string(buf), u"{29AB7A12-B531-450E-8F7A-EA94C2F3C05F}");
  EXPECT_EQ(StringFromGUID2(kSession, buf, 38), 0);

  CLSID parsed;
  ASSERT_EQ(CLSIDFromString(u"{29ab7a12-b531-450e-8f7a-ea94c2f3c05f}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualCLSID(parsed, kSession));
  EXPECT_EQ(IIDFromString(u"29AB7A12-B531-450E-8F7A-EA94C2F3C05F", &parsed), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(u"{29AB7A12-B531-450E-8F7A-EA94C2F3C05G}", &parsed), E_INVALIDARG);
  EXPECT_EQ(CLSIDFromString(u"{29AB7A12+B531-450E-8F7A-EA94C2F3C05F}", &parsed), CO_E_CLASSSTRING);
}

TEST(ProgId, OutlookIsKnownAndRegistrationsReplaceCaseInsensitively) {
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(u"outlook.application", &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, ComGuid("{0006F03A-0000-0000-C000-000000000046}")));
  EXPECT_EQ(CLSIDFromProgID(u"Nobody.Here", &clsid), CO_E_CLASSSTRING);

  constexpr CLSID kOne = ComGuid("{11111111-0000-0000-0000-000000000001}");
  constexpr CLSID kTwo = ComGuid("{11111111-0000-0000-0000-000000000002}");
  ASSERT_EQ(LintroveRegisterProgID(u"Test.Thing", kOne), S_OK);
  ASSERT_EQ(LintroveRegisterProgID(u"TEST.THING", kTwo), S_OK);
  ASSERT_EQ(CLSIDFromString(u"Test.Thing", &clsid), S_OK);  // CLSIDFromString accepts ProgIDs too
  EXPECT_TRUE(IsEqualCLSID(clsid, kTwo));
  EXPECT_EQ(LintroveUnregisterProgID(u"test.thing"), S_OK);
  EXPECT_EQ(LintroveUnregisterProgID(u"test.thing"), S_FALSE);
  EXPECT_EQ(LintroveRegisterProgID(u"", kOne), E_INVALIDARG);
}

// ---- Running-object table ----------------------------------------------------------------

TEST(RunningObjects, RegisterGetRevokeKeepsTheReferenceCountStraight) {
  constexpr CLSID kClass = ComGuid("{22222222-0000-0000-0000-000000000001}");
  CountedObject object;
  IUnknown* found = nullptr;
  EXPECT_EQ(GetActiveObject(kClass, nullptr, &found), MK_E_UNAVAILABLE);
  EXPECT_EQ(found, nullptr);

  DWORD cookie = 0;
  ASSERT_EQ(RegisterActiveObject(&object, kClass, ACTIVEOBJECT_STRONG, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(object.refs, 2u);  // the table holds one

  ASSERT_EQ(GetActiveObject(kClass, nullptr, &found), S_OK);
  EXPECT_EQ(found, static_cast<IUnknown*>(&object));
  EXPECT_EQ(object.refs, 3u);  // and the caller one
  found->Release();

  EXPECT_EQ(RevokeActiveObject(cookie, nullptr), S_OK);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(GetActiveObject(kClass, nullptr, &found), MK_E_UNAVAILABLE);
  EXPECT_EQ(RevokeActiveObject(cookie, nullptr), E_INVALIDARG);
}

TEST(RunningObjects, WeakRegistrationHoldsNoReferenceAndFirstRegistrationAnswers) {
  constexpr CLSID kClass = ComGuid("{22222222-0000-0000-0000-000000000002}");
  CountedObject first, second;
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(RegisterActiveObject(&first, kClass, ACTIVEOBJECT_WEAK, &c1), S_OK);
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(RegisterActiveObject(&second, kClass, ACTIVEOBJECT_STRONG, &c2), MK_S_MONIKERALREADYREGISTERED);
  EXPECT_NE(c1, c2);

  IUnknown* found = nullptr;
  ASSERT_EQ(GetActiveObject(kClass, nullptr, &found), S_OK);
  EXPECT_EQ(found, static_cast<IUnknown*>(&first));
  found->Release();

  ASSERT_EQ(RevokeActiveObject(c1, nullptr), S_OK);
  EXPECT_EQ(first.refs, 1u);
  ASSERT_EQ(GetActiveObject(kClass, nullptr, &found), S_OK);
  EXPECT_EQ(found, static_cast<IUnknown*>(&second));
  found->Release();
  ASSERT_EQ(RevokeActiveObject(c2, nullptr), S_OK);
  EXPECT_EQ(second.refs, 1u);
}

TEST(Apartment, InitialiseCountsPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

}  // namespace
