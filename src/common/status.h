// Status codes returned by the archive routines. The values are part of the
// command-line contract: the front end turns them into result lines.
#ifndef KESTO_COMMON_STATUS_H
#define KESTO_COMMON_STATUS_H

namespace kesto {

// Results of extract_ar_archive and extract_dl_archive.
namespace reader_status {
inline constexpr int ok = 0;
inline constexpr int wrong_format = 1;     // the archive does not carry this format's signature
inline constexpr int bad_archive = 2;      // header or directory unreadable, or a seek failed
inline constexpr int cannot_read = 3;      // entry data ran out (fragment logged)
inline constexpr int cannot_create = 4;    // entry file could not be created (fragment logged)
inline constexpr int cannot_write = 5;     // entry file could not be written (fragment logged)
inline constexpr int name_not_found = 6;   // a NAME operand matched no entry (nothing logged)
}  // namespace reader_status

// Results of create_ar_archive and create_dl_archive. An input that cannot be
// opened or read reports first_input + its index among the inputs.
namespace writer_status {
inline constexpr int ok = 0;
inline constexpr int archive_failed = 1;   // writing, seeking or sizing the archive failed
inline constexpr int first_input = 2;
}  // namespace writer_status

// Results of rebuild_ar_archive and rebuild_dl_archive. Values 1 to 3 mean
// what they mean for the readers.
namespace rebuild_status {
inline constexpr int ok = 0;
inline constexpr int wrong_format = 1;
inline constexpr int bad_archive = 2;
inline constexpr int cannot_read = 3;       // stored entry data ran out (fragment logged)
inline constexpr int cannot_read_file = 4;  // a file of the directory could not be read or
                                            // is no regular file (fragment logged)
inline constexpr int archive_failed = 5;    // writing the new archive failed, or it would
                                            // reach 2^31 bytes
inline constexpr int unchanged = 6;         // nothing changes: the archive stays as it is
                                            // (nothing written, the entries' lines logged)
}  // namespace rebuild_status

}  // namespace kesto

#endif
