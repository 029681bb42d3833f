#pragma once
// A plain (unsplit) ZIP archive built byte by byte, for archives our writer
// never makes: false sizes and CRCs, hostile names, bombs.

#include <QByteArray>

#include <gtest/gtest.h>
#include <vector>
#include <zlib.h>

struct ZipEntry {
  QByteArray name;
  QByteArray data;
  bool deflate = false;
  qint64 declaredSize = -1;  // the uncompressed size written into the headers; -1: the true one
  qint64 crcDelta = 0;       // added to the true CRC-32
  // The data stands for this many copies of itself. Deflated, each copy is
  // one flushed block of the same bytes, so an entry of gigabytes costs only
  // its compressed size to build.
  qint64 repeat = 1;
};

namespace zip_builder {

inline void Put16(QByteArray& b, quint32 v) {
  b.append(char(v & 0xff));
  b.append(char((v >> 8) & 0xff));
}
inline void Put32(QByteArray& b, quint32 v) {
  Put16(b, v & 0xffff);
  Put16(b, v >> 16);
}

// Raw deflate of `data` repeated `repeat` times.
inline QByteArray Deflate(const QByteArray& data, qint64 repeat = 1) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  auto run = [&](const QByteArray& in, int flush) {
    QByteArray out(qsizetype(deflateBound(&z, uLong(in.size())) + 16), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, flush), flush == Z_FINISH ? Z_STREAM_END : Z_OK);
    out.resize(out.size() - z.avail_out);
    return out;
  };
  QByteArray result;
  if (repeat == 1) {
    result = run(data, Z_FINISH);
  } else {
    // A full flush ends on a byte boundary with no reference behind it, so
    // the block is valid wherever it stands; an empty final block closes.
    const QByteArray block = run(data, Z_FULL_FLUSH);
    result.reserve(block.size() * repeat + 16);
    for (qint64 i = 0; i < repeat; ++i) result += block;
    result += run({}, Z_FINISH);
  }
  deflateEnd(&z);
  return result;
}

inline quint32 Crc(const QByteArray& data, qint64 repeat) {
  const uLong one = crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size()));
  uLong crc = one;
  for (qint64 i = 1; i < repeat; ++i) crc = crc32_combine(crc, one, z_off_t(data.size()));
  return quint32(crc);
}

}  // namespace zip_builder

// Local records, central directory, end record; time 0, date 1980-01-01.
inline QByteArray Zip(const std::vector<ZipEntry>& entries) {
  using zip_builder::Put16;
  using zip_builder::Put32;
  QByteArray zip, central;
  for (const ZipEntry& e : entries) {
    EXPECT_TRUE(e.deflate || e.repeat == 1) << "only deflated entries repeat";
    const QByteArray stored = e.deflate ? zip_builder::Deflate(e.data, e.repeat) : e.data;
    const quint32 crc = zip_builder::Crc(e.data, e.repeat) + quint32(e.crcDelta);
    const quint32 size = quint32(e.declaredSize < 0 ? e.data.size() * e.repeat : e.declaredSize);
    const quint32 offset = quint32(zip.size());
    auto common = [&](QByteArray& b) {
      Put16(b, 20);                 // version needed
      Put16(b, 0);                  // flags
      Put16(b, e.deflate ? 8 : 0);  // method
      Put16(b, 0);                  // time
      Put16(b, 0x21);               // date: 1980-01-01
      Put32(b, crc);
      Put32(b, quint32(stored.size()));
      Put32(b, size);
      Put16(b, quint32(e.name.size()));
      Put16(b, 0);  // extra field
    };
    Put32(zip, 0x04034b50);
    common(zip);
    zip += e.name + stored;
    Put32(central, 0x02014b50);
    Put16(central, 20);  // made by
    common(central);
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, 0);  // external attributes
    Put32(central, offset);
    central += e.name;
  }
  const quint32 at = quint32(zip.size());
  zip += central;
  Put32(zip, 0x06054b50);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, quint32(entries.size()));
  Put16(zip, quint32(entries.size()));
  Put32(zip, quint32(central.size()));
  Put32(zip, at);
  Put16(zip, 0);
  return zip;
}
