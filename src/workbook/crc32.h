// CRC-32 with the reflected polynomial 0xEDB88320, started at 0xFFFFFFFF and
// returned without the final complement. It keys the shared string trie and
// the font trie.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;

// Continues the CRC `crc` over `size` bytes; an empty range returns `crc`.
uint32_t Crc32(const void* data, std::size_t size, uint32_t crc = kCrc32Start) noexcept;

}  // namespace tabulon
