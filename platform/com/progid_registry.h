#pragma once
// Registration of ProgIDs with the runtime's table, which stands in for the
// registry's HKEY_CLASSES_ROOT\<ProgID>\CLSID on systems without one.
// "Outlook.Application" is built in. Names compare without regard to ASCII case.
// Thread-safe; the table is shared by every module of the process.

#include <wtypes.h>

// Adds or replaces progId -> clsid. E_INVALIDARG for a null or empty name.
STDAPI LintroveRegisterProgID(LPCOLESTR progId, REFCLSID clsid);
// Removes progId; S_FALSE when it was not registered.
STDAPI LintroveUnregisterProgID(LPCOLESTR progId);
