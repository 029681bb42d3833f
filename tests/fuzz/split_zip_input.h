// How fuzz_split_zip_reader turns one input into a set of archive volumes,
// and back (make_fuzz_seeds writes real archives in this form).
//
//   byte 0        bits 0-2: number of volumes - 1 (1 to 8 volumes)
//                 bit 3: the destination already holds K/earlier.msg
//                 bit 4: the destination does not exist yet
//   3 bytes each  little-endian length of volumes 1 .. n-1 (K.z01, K.z02, ...)
//   the rest      the volumes' bytes in order; the last volume (K.zip) takes
//                 whatever the lengths leave. A length beyond the end of the
//                 input is cut short.
#pragma once

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace fuzz {

struct SplitZipInput {
  bool earlierFile = false;
  bool missingDestination = false;
  std::vector<QByteArray> volumes;  // K.z01, ..., K.zip
};

inline SplitZipInput DecodeSplitZipInput(const uint8_t* data, size_t size) {
  SplitZipInput in;
  size_t at = 0;
  const uint8_t flags = size > 0 ? data[at++] : 0;
  in.earlierFile = flags & 0x08;
  in.missingDestination = flags & 0x10;
  const int count = (flags & 0x07) + 1;
  std::vector<size_t> lengths;
  for (int i = 1; i < count; ++i) {
    size_t n = 0;
    for (int b = 0; b < 3; ++b, ++at)
      if (at < size) n |= size_t(data[at]) << (8 * b);
    lengths.push_back(n);
  }
  for (size_t n : lengths) {
    const size_t start = std::min(at, size);
    const size_t take = std::min(n, size - start);
    in.volumes.emplace_back(reinterpret_cast<const char*>(data) + start, qsizetype(take));
    at = start + take;
  }
  const size_t start = std::min(at, size);
  in.volumes.emplace_back(reinterpret_cast<const char*>(data) + start, qsizetype(size - start));
  return in;
}

// The inverse of DecodeSplitZipInput for 1 to 8 volumes of less than 16 MiB.
inline QByteArray EncodeSplitZipInput(const SplitZipInput& in) {
  QByteArray out;
  out += char(((in.volumes.size() - 1) & 0x07) | (in.earlierFile ? 0x08 : 0) | (in.missingDestination ? 0x10 : 0));
  for (size_t i = 0; i + 1 < in.volumes.size(); ++i)
    for (int b = 0; b < 3; ++b) out += char(in.volumes[i].size() >> (8 * b) & 0xff);
  for (const QByteArray& v : in.volumes) out += v;
  return out;
}

}  // namespace fuzz
