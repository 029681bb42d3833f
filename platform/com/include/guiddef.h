#pragma once
// GUID and its aliases, as the Windows SDK declares them.

#include <cstdint>
#include <cstring>

typedef struct _GUID {
  uint32_t Data1;  // non-Windows: the SDK spells this "unsigned long" (32 bits there)
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;

static_assert(sizeof(GUID) == 16, "GUID must keep the 16-byte layout of the SDK");

typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;

#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
