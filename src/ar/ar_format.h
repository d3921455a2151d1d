// Layout of AR archives: a 12-byte header, a directory of 16-byte records,
// then the entries' data scrambled by the keystream (keystream.h).
//
//   header  0  "AR"             record  0  name, zero-padded to 8 bytes
//           2  key, low byte            8  data offset (u32)
//           3  key, high byte          12  size (u32)
//           4  directory offset (u32)
//           8  entry count (u32)
#ifndef KESTO_AR_AR_FORMAT_H
#define KESTO_AR_AR_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace kesto::ar_format {

inline constexpr unsigned char signature[2] = {'A', 'R'};
inline constexpr std::size_t header_size = 12;
inline constexpr std::size_t key_offset = 2;
inline constexpr std::size_t directory_offset_field = 4;
inline constexpr std::size_t count_field = 8;

inline constexpr std::size_t record_size = 16;
inline constexpr std::size_t name_size = 8;
inline constexpr std::size_t data_offset_field = 8;
inline constexpr std::size_t size_field = 12;

// The writer always puts the directory right after the header.
inline constexpr std::uint32_t written_directory_offset = header_size;

static_assert(count_field + 4 == header_size);
static_assert(name_size == data_offset_field && size_field + 4 == record_size);

}  // namespace kesto::ar_format

#endif
