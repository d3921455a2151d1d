// Layout of DL archives: a 16-byte header, the entries' data back to back
// from offset 16, and a directory of 16-byte records at the end. Entries have
// no stored offsets: entry i starts at 16 plus the sizes of entries 0..i-1.
//
//   header  0  "DL1.0" 0x1A 0x00   record  0  name, zero-padded to 12 bytes
//           7  0x00 (not checked)          12  size (u32)
//           8  entry count (u16)
//          10  directory offset (u32)
//          14  0x00 0x00
#ifndef KESTO_DL_DL_FORMAT_H
#define KESTO_DL_DL_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace kesto::dl_format {

inline constexpr unsigned char signature[7] = {'D', 'L', '1', '.', '0', 0x1A, 0x00};
inline constexpr std::size_t header_size = 16;
inline constexpr std::size_t checked_signature_size = sizeof signature;
inline constexpr std::size_t count_field = 8;
inline constexpr std::size_t directory_offset_field = 10;

inline constexpr std::size_t record_size = 16;
inline constexpr std::size_t name_size = 12;
inline constexpr std::size_t size_field = 12;

inline constexpr std::uint32_t first_entry_offset = header_size;
inline constexpr std::uint32_t max_entries = 0xFFFF;

static_assert(checked_signature_size + 1 == count_field);
static_assert(directory_offset_field + 4 + 2 == header_size);
static_assert(name_size == size_field && size_field + 4 == record_size);

}  // namespace kesto::dl_format

#endif
