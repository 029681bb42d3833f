#pragma once
// COM base functions: apartment set-up, class and interface identifiers from
// text and ProgIDs, and the shape of a library's class-object entry point.

#include "oaidl.h"
#include "unknwn.h"

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

// non-Windows: there are no apartments to set up; these count calls per
// thread only (S_OK on the first, S_FALSE after it).
WINOLEAPI CoInitialize(LPVOID pvReserved);
WINOLEAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINOLEAPI_(void) CoUninitialize();

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" to a GUID. CLSIDFromString also
// accepts a ProgID, as on Windows, and answers CO_E_CLASSSTRING for anything
// else; IIDFromString answers E_INVALIDARG.
WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINOLEAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
// Writes the braced, upper-case text and its terminator; returns the number
// of characters written including the terminator (39), or 0 if cchMax is too small.
WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// non-Windows: ProgIDs come from a table in the runtime (see
// platform/com/progid_registry.h), not from the registry. Unknown: CO_E_CLASSSTRING.
WINOLEAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);

// The entry point a library module exports to hand out class factories.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
