// Process-wide parts of the runtime: apartment counting, GUID text, the
// ProgID table and the running-object table. Both tables are shared by every
// module of the process because this is one shared library.

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/guid_text.h"
#include "platform/com/progid_registry.h"

using platform::com::ComGuid;
using platform::com::ParseGuid;

namespace {

std::u16string_view View(LPCOLESTR text) {
  if (!text) return {};
  size_t n = 0;
  while (text[n]) ++n;
  return {text, n};
}

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c; }

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

// ---- ProgIDs -------------------------------------------------------------------

struct ProgIdTable {
  std::mutex lock;
  std::vector<std::pair<std::u16string, CLSID>> entries{
      {u"Outlook.Application", ComGuid("{0006F03A-0000-0000-C000-000000000046}")},
  };
};

ProgIdTable& ProgIds() {
  static ProgIdTable table;
  return table;
}

// ---- Running objects -------------------------------------------------------------

struct RunningObject {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;
  bool strong;
};

struct RunningObjectTable {
  std::mutex lock;
  std::vector<RunningObject> entries;
  DWORD nextCookie = 1;
};

RunningObjectTable& Rot() {
  static RunningObjectTable table;
  return table;
}

thread_local int t_comInitCount = 0;

}  // namespace

HRESULT CoInitialize(LPVOID) { return ++t_comInitCount == 1 ? S_OK : S_FALSE; }

HRESULT CoInitializeEx(LPVOID reserved, DWORD) { return CoInitialize(reserved); }

void CoUninitialize() {
  if (t_comInitCount > 0) --t_comInitCount;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  if (!lpsz || !lpiid) return E_INVALIDARG;
  const auto g = ParseGuid(View(lpsz));
  if (!g) return E_INVALIDARG;
  *lpiid = *g;
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!lpsz || !pclsid) return E_INVALIDARG;
  if (lpsz[0] == u'{') {
    const auto g = ParseGuid(View(lpsz));
    if (!g) return CO_E_CLASSSTRING;
    *pclsid = *g;
    return S_OK;
  }
  return CLSIDFromProgID(lpsz, pclsid);
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  const std::string text = platform::com::GuidToString(rguid);
  if (!lpsz || cchMax < int(text.size()) + 1) return 0;
  for (size_t i = 0; i < text.size(); ++i) lpsz[i] = OLECHAR(text[i]);
  lpsz[text.size()] = 0;
  return int(text.size()) + 1;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  const std::u16string_view name = View(lpszProgID);
  ProgIdTable& table = ProgIds();
  std::lock_guard<std::mutex> guard(table.lock);
  for (const auto& [progId, clsid] : table.entries) {
    if (SameName(progId, name)) {
      *lpclsid = clsid;
      return S_OK;
    }
  }
  return CO_E_CLASSSTRING;
}

HRESULT LintroveRegisterProgID(LPCOLESTR progId, REFCLSID clsid) {
  const std::u16string_view name = View(progId);
  if (name.empty()) return E_INVALIDARG;
  ProgIdTable& table = ProgIds();
  std::lock_guard<std::mutex> guard(table.lock);
  for (auto& entry : table.entries) {
    if (SameName(entry.first, name)) {
      entry.second = clsid;
      return S_OK;
    }
  }
  table.entries.emplace_back(std::u16string(name), clsid);
  return S_OK;
}

HRESULT LintroveUnregisterProgID(LPCOLESTR progId) {
  const std::u16string_view name = View(progId);
  ProgIdTable& table = ProgIds();
  std::lock_guard<std::mutex> guard(table.lock);
  for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
    if (SameName(it->first, name)) {
      table.entries.erase(it);
      return S_OK;
    }
  }
  return S_FALSE;
}

HRESULT RegisterActiveObject(IUnknown* punk, REFCLSID rclsid, DWORD dwFlags, DWORD* pdwRegister) {
  if (!punk || !pdwRegister) return E_INVALIDARG;
  const bool strong = (dwFlags & ACTIVEOBJECT_WEAK) == 0;
  RunningObjectTable& rot = Rot();
  bool already = false;
  {
    std::lock_guard<std::mutex> guard(rot.lock);
    for (const RunningObject& entry : rot.entries)
      if (IsEqualCLSID(entry.clsid, rclsid)) already = true;
    if (strong) punk->AddRef();
    *pdwRegister = rot.nextCookie++;
    rot.entries.push_back({*pdwRegister, rclsid, punk, strong});
  }
  return already ? MK_S_MONIKERALREADYREGISTERED : S_OK;
}

HRESULT RevokeActiveObject(DWORD dwRegister, void*) {
  RunningObjectTable& rot = Rot();
  RunningObject removed{};
  {
    std::lock_guard<std::mutex> guard(rot.lock);
    auto it = rot.entries.begin();
    while (it != rot.entries.end() && it->cookie != dwRegister) ++it;
    if (it == rot.entries.end()) return E_INVALIDARG;
    removed = *it;
    rot.entries.erase(it);
  }
  // Released outside the lock: the object's destructor may use the table.
  if (removed.strong) removed.object->Release();
  return S_OK;
}

HRESULT GetActiveObject(REFCLSID rclsid, void*, IUnknown** ppunk) {
  if (!ppunk) return E_INVALIDARG;
  *ppunk = nullptr;
  RunningObjectTable& rot = Rot();
  std::lock_guard<std::mutex> guard(rot.lock);
  // With several registrations of one class, the earliest still present answers.
  for (const RunningObject& entry : rot.entries) {
    if (IsEqualCLSID(entry.clsid, rclsid)) {
      entry.object->AddRef();
      *ppunk = entry.object;
      return S_OK;
    }
  }
  return MK_E_UNAVAILABLE;
}
