#pragma once
// Automation runtime functions: BSTR allocation, VARIANT handling and the
// running-object table, implemented by the shared library lintrove_com so
// that the program and a loaded library module share one allocator and one
// table (as oleaut32/ole32 are shared on Windows).

#include "oaidl.h"

// ---- BSTR ------------------------------------------------------------------------
WINOLEAUTAPI_(BSTR) SysAllocString(const OLECHAR* psz);
WINOLEAUTAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINOLEAUTAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len);
WINOLEAUTAPI_(INT) SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINOLEAUTAPI_(void) SysFreeString(BSTR bstrString);
WINOLEAUTAPI_(UINT) SysStringLen(BSTR pbstr);
WINOLEAUTAPI_(UINT) SysStringByteLen(BSTR bstr);

// ---- VARIANT -----------------------------------------------------------------------
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02       // VT_BOOL to text as "True"/"False" instead of "-1"/"0"
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

WINOLEAUTAPI_(void) VariantInit(VARIANTARG* pvarg);
WINOLEAUTAPI VariantClear(VARIANTARG* pvarg);
WINOLEAUTAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
WINOLEAUTAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
// non-Windows: conversions follow the en-US locale whatever the user's
// locale is (decimal point ".", dates as M/D/YYYY h:mm:ss AM).
WINOLEAUTAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
WINOLEAUTAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                                 VARTYPE vt);

// ---- Running-object table ------------------------------------------------------------
#define ACTIVEOBJECT_STRONG 0x0
// non-Windows: a weak registration holds no reference at all; the object
// must revoke it before it is destroyed.
#define ACTIVEOBJECT_WEAK 0x1

WINOLEAUTAPI RegisterActiveObject(IUnknown* punk, REFCLSID rclsid, DWORD dwFlags, DWORD* pdwRegister);
WINOLEAUTAPI RevokeActiveObject(DWORD dwRegister, void* pvReserved);
WINOLEAUTAPI GetActiveObject(REFCLSID rclsid, void* pvReserved, IUnknown** ppunk);
