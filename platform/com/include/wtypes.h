#pragma once
// Base types of COM and Automation, as the Windows SDK names them.
//
// non-Windows: every integer type keeps its Windows width (LONG, ULONG and
// DWORD are 32 bits even where "long" is 64); WCHAR and OLECHAR are
// char16_t, so OLESTR("x") is a UTF-16 literal as on Windows.

#include <cstddef>
#include <cstdint>

#include "guiddef.h"
#include "winerror.h"

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;
typedef int BOOL;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef void* PVOID;
typedef void* LPVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef char16_t WCHAR;   // non-Windows: wchar_t is 32 bits here; COM text is UTF-16
typedef char16_t OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
#define OLESTR(str) u##str

// A length-prefixed UTF-16 string owned by the runtime's allocator
// (SysAllocString...). The 32-bit byte length sits in front of the pointer.
typedef OLECHAR* BSTR;

typedef DWORD LCID;
#define LOCALE_USER_DEFAULT (static_cast<LCID>(0x0400))
#define LOCALE_SYSTEM_DEFAULT (static_cast<LCID>(0x0800))
#define LOCALE_NEUTRAL (static_cast<LCID>(0x0000))

typedef int16_t VARIANT_BOOL;
#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

typedef double DATE;  // days since 30 December 1899, time as the fraction

typedef uint16_t VARTYPE;
enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0x0FFF,
};

// Calling conventions and declaration helpers.
// non-Windows: COM methods use the platform's default calling convention,
// which every party here (program, runtime, library module) shares.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPI
#define LINTROVE_COM_EXPORT __attribute__((visibility("default")))
#define STDAPI extern "C" LINTROVE_COM_EXPORT HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" LINTROVE_COM_EXPORT type STDAPICALLTYPE
#define WINOLEAPI STDAPI
#define WINOLEAPI_(type) STDAPI_(type)
#define WINOLEAUTAPI STDAPI
#define WINOLEAUTAPI_(type) STDAPI_(type)
#define EXTERN_C extern "C"
