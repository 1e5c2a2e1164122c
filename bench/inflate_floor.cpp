// The inflate floor: reads a ZIP package and inflates every deflated member
// with zlib alone, as often as asked, and prints the median time in seconds.
// Usage: inflate_floor PACKAGE [REPEATS]
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

uint32_t Le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }

struct Member {
  uint32_t method, packed, size, localOffset;
};

// Members from the central directory.
std::vector<Member> Members(const std::vector<uint8_t>& zip) {
  std::vector<Member> out;
  if (zip.size() < 22) return out;
  std::size_t eocd = zip.size() - 22;
  while (eocd > 0 && Le32(&zip[eocd]) != 0x06054b50) --eocd;
  if (Le32(&zip[eocd]) != 0x06054b50) return out;
  const uint32_t count = Le16(&zip[eocd + 10]);
  std::size_t at = Le32(&zip[eocd + 16]);
  for (uint32_t i = 0; i < count && at + 46 <= zip.size() && Le32(&zip[at]) == 0x02014b50; ++i) {
    out.push_back({Le16(&zip[at + 10]), Le32(&zip[at + 20]), Le32(&zip[at + 24]), Le32(&zip[at + 42])});
    at += 46 + Le16(&zip[at + 28]) + Le16(&zip[at + 30]) + Le16(&zip[at + 32]);
  }
  return out;
}

// Inflates every member once; returns the bytes produced.
std::size_t InflateAll(const std::vector<uint8_t>& zip, const std::vector<Member>& members, std::vector<uint8_t>& out) {
  std::size_t total = 0;
  for (const Member& m : members) {
    const std::size_t local = m.localOffset;
    if (local + 30 > zip.size()) continue;
    const std::size_t data = local + 30 + Le16(&zip[local + 26]) + Le16(&zip[local + 28]);
    if (data + m.packed > zip.size()) continue;
    if (m.method != 8) {
      total += m.packed;
      continue;
    }
    if (out.size() < m.size) out.resize(m.size);
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = const_cast<uint8_t*>(&zip[data]);
    z.avail_in = m.packed;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    inflate(&z, Z_FINISH);
    total += z.total_out;
    inflateEnd(&z);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: inflate_floor PACKAGE [REPEATS]\n");
    return 2;
  }
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<double> times;
  std::size_t bytes = 0;
  for (int i = 0; i < repeats; ++i) {
    // The file is read in every round, as a request would.
    const auto start = std::chrono::steady_clock::now();
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<uint8_t> zip((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> out;
    bytes = InflateAll(zip, Members(zip), out);
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("%.6f %zu\n", times[times.size() / 2], bytes);
  return 0;
}
