#include "zip_writer.h"

#include <zlib.h>

#include <stdexcept>

namespace tabulon::test {

namespace {

void Put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

std::string Deflate(const std::string& data) {
  z_stream zs{};
  if (deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&zs, data.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string BuildZip(const std::vector<ZipMember>& members, const std::string& comment, ZipLayout* layout) {
  std::string out;
  std::string central;
  for (const ZipMember& m : members) {
    const std::string packed = (m.method == 8 && !m.rawData) ? Deflate(m.data) : m.data;
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
    const bool descriptor = (m.flags & 0x08) != 0;
    const uint32_t offset = static_cast<uint32_t>(out.size());
    Put32(out, 0x04034B50);
    Put16(out, 20);
    Put16(out, m.flags);
    Put16(out, m.method);
    Put16(out, 0);
    Put16(out, 0x21);
    Put32(out, descriptor ? 0 : crc);
    Put32(out, descriptor ? 0 : static_cast<uint32_t>(packed.size()));
    Put32(out, descriptor ? 0 : static_cast<uint32_t>(m.data.size()));
    Put16(out, static_cast<uint32_t>(m.name.size()));
    Put16(out, 0);
    out += m.name;
    out += packed;
    if (descriptor) {
      Put32(out, 0x08074B50);
      Put32(out, crc);
      Put32(out, static_cast<uint32_t>(packed.size()));
      Put32(out, static_cast<uint32_t>(m.data.size()));
    }
    Put32(central, 0x02014B50);
    Put16(central, 20);
    Put16(central, 20);
    Put16(central, m.flags);
    Put16(central, m.method);
    Put16(central, 0);
    Put16(central, 0x21);
    Put32(central, crc);
    Put32(central, m.declaredPacked.value_or(static_cast<uint32_t>(packed.size())));
    Put32(central, m.declaredSize.value_or(static_cast<uint32_t>(m.data.size())));
    Put16(central, static_cast<uint32_t>(m.name.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, 0x20);
    Put32(central, offset);
    central += m.name;
  }
  const uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  const uint32_t endOffset = static_cast<uint32_t>(out.size());
  Put32(out, 0x06054B50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(members.size()));
  Put16(out, static_cast<uint32_t>(members.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, static_cast<uint32_t>(comment.size()));
  out += comment;
  if (layout != nullptr) *layout = {centralOffset, endOffset};
  return out;
}

}  // namespace tabulon::test
