// BSTR allocation with the Windows layout: a 32-bit byte count in front of
// the characters, a UTF-16 terminator after them. Embedded NULs are kept;
// SysStringLen reads the prefix, never the terminator.

#include <oleauto.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);

// Allocates room for byteLen bytes of text plus a two-byte terminator.
BSTR AllocateBytes(const void* src, size_t byteLen) {
  if (byteLen > UINT32_MAX - kPrefix - sizeof(OLECHAR) - 1) return nullptr;
  // One spare byte keeps an odd byte length terminated on a whole OLECHAR.
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + byteLen + sizeof(OLECHAR) + 1));
  if (!block) return nullptr;
  const uint32_t len32 = static_cast<uint32_t>(byteLen);
  std::memcpy(block, &len32, kPrefix);
  unsigned char* text = block + kPrefix;
  if (src)
    std::memcpy(text, src, byteLen);
  else
    std::memset(text, 0, byteLen);
  std::memset(text + byteLen, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(text);
}

size_t Length(const OLECHAR* psz) {
  size_t n = 0;
  while (psz[n]) ++n;
  return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  return AllocateBytes(psz, Length(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > (UINT_MAX / sizeof(OLECHAR))) return nullptr;
  return AllocateBytes(strIn, size_t(ui) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocateBytes(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (psz && !fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  std::free(reinterpret_cast<unsigned char*>(bstrString) - kPrefix);
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t len32;
  std::memcpy(&len32, reinterpret_cast<unsigned char*>(bstr) - kPrefix, kPrefix);
  return len32;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }
