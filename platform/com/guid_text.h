#pragma once
// GUIDs in their registry text form "{29AB7A12-B531-450E-8F7A-EA94C2F3C05F}".
//
// The parser is constexpr so that identifiers can be written in code exactly
// as they are published (ComGuid("{...}")), checked by the compiler.

#include <guiddef.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform::com {

namespace detail {
template <class Ch>
constexpr int HexValue(Ch c) {
  if (c >= Ch('0') && c <= Ch('9')) return int(c - Ch('0'));
  if (c >= Ch('a') && c <= Ch('f')) return int(c - Ch('a')) + 10;
  if (c >= Ch('A') && c <= Ch('F')) return int(c - Ch('A')) + 10;
  return -1;
}

template <class Ch>
constexpr std::optional<uint64_t> HexField(std::basic_string_view<Ch> text, size_t pos, size_t digits) {
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int d = HexValue(text[pos + i]);
    if (d < 0) return std::nullopt;
    value = value * 16 + uint64_t(d);
  }
  return value;
}
}  // namespace detail

// Parses exactly "{8-4-4-4-12}" hexadecimal digits in either case; anything
// else (missing braces, blanks, other lengths) gives nullopt.
template <class Ch>
constexpr std::optional<GUID> ParseGuid(std::basic_string_view<Ch> text) {
  if (text.size() != 38 || text[0] != Ch('{') || text[37] != Ch('}')) return std::nullopt;
  for (size_t dash : {9u, 14u, 19u, 24u})
    if (text[dash] != Ch('-')) return std::nullopt;
  GUID g{};
  const auto d1 = detail::HexField(text, 1, 8);
  const auto d2 = detail::HexField(text, 10, 4);
  const auto d3 = detail::HexField(text, 15, 4);
  if (!d1 || !d2 || !d3) return std::nullopt;
  g.Data1 = uint32_t(*d1);
  g.Data2 = uint16_t(*d2);
  g.Data3 = uint16_t(*d3);
  constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    const auto b = detail::HexField(text, kBytePos[i], 2);
    if (!b) return std::nullopt;
    g.Data4[i] = uint8_t(*b);
  }
  return g;
}

// A GUID written in code; malformed text does not compile.
consteval GUID ComGuid(std::string_view text) {
  const std::optional<GUID> g = ParseGuid(text);
  if (!g) throw "malformed GUID text";
  return *g;
}

// The registry text form, upper-case, with braces.
std::string GuidToString(REFGUID guid);

}  // namespace platform::com
