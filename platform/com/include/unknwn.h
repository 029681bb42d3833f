#pragma once
// IUnknown and IClassFactory with the vtable order of the Windows SDK.
//
// Interfaces are abstract structs with no virtual destructor, so that the
// vtable holds exactly the SDK's slots; objects free themselves in Release.

#include "wtypes.h"

EXTERN_C LINTROVE_COM_EXPORT const IID IID_IUnknown;       // {00000000-0000-0000-C000-000000000046}
EXTERN_C LINTROVE_COM_EXPORT const IID IID_IClassFactory;  // {00000001-0000-0000-C000-000000000046}

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
typedef IClassFactory* LPCLASSFACTORY;
