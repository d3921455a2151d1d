// Writing and reading DL archives over open streams. The caller opens and
// closes the archive; the routines open and close the files they copy.
#ifndef KESTO_DL_DL_ARCHIVE_H
#define KESTO_DL_DL_ARCHIVE_H

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "common/edit.h"

#include "common/platform.h"

#include "common/name_match.h"

namespace kesto {

// Writes a DL archive holding the count files, in order, under their base
// names cut to 12 bytes: unchanged, or with compress each as
// append_compressed_dl_entry writes it. Returns writer_status: ok;
// archive_failed when a write, seek or position query fails, when count is
// above 65535 (nothing is written then), when the archive would reach
// 2^31 bytes or (compress) a file holds 4 GiB or more; first_input + i when
// files[i] cannot be opened or read.
int create_dl_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      bool compress = false);

// As above, with a smaller size limit than 2^31 - 1 bytes (for tests).
int create_dl_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint32_t max_size, bool compress = false);

// Writes the bytes of input, from its position to its end, at archive's
// position (below 2^31) as one DL entry of at most room bytes: an LZ entry
// (lzss_encoder.h), or the bytes unchanged when that is larger than they
// are, unless they begin with "LZ" (stored so, they would read as an LZ
// entry). A file that is one whole LZ entry itself (is_whole_lz_entry, as
// -e writes one) is stored as it is. The trial LZ entry stops once it
// passes the plain bytes' size, and one that fails for want of space gives
// way to them. The plain bytes are read a second time, from input's position
// at the start. *size is the entry's size; the archive is positioned at its
// end. The bytes up to *reached (an archive position, at least the entry's
// end) may have been written: an LZ entry that the plain bytes replaced may
// leave a tail beyond the entry, for the caller to overwrite or cut off.
// Returns writer_status: ok; archive_failed when a write, seek or position
// query fails, the entry would pass room or the input holds 4 GiB or more;
// first_input when the input cannot be read (or read again).
int append_compressed_dl_entry(std::FILE* archive, std::FILE* input, std::uint64_t room,
                               std::uint32_t* size, std::uint32_t* reached);

// Extracts the entries into the current directory. In copy mode every entry
// is written as stored and its name logged. In decompress mode every entry
// goes through lzss_decode_entry: LZ entries are kept (a warning line when
// their sizes disagree), other entries are skipped with a warning line.
// Returns reader_status: ok; wrong_format without the 7-byte signature;
// bad_archive for an unreadable header or record or a failed seek;
// cannot_read, cannot_create, cannot_write for an entry, after logging the
// start of the failure line. Names are checked and entries reach their names
// only when kept, as for AR archives.
int extract_dl_archive(std::FILE* archive, std::FILE* log, bool decompress);

// As select_ar_entries, for DL archives.
int select_dl_entries(std::FILE* archive, name_selection* selection);

// Extracts the entries selection chooses, readable: an entry whose data
// decode exactly as an LZ entry is written decoded; one that begins with
// "LZ" but does not decode exactly is written as stored, with a line saying
// so; any other as stored. An entry whose name something already has is
// left out as extract_ar_entries leaves it. Same statuses as
// extract_dl_archive.
int extract_dl_entries(std::FILE* archive, std::FILE* log, name_selection* selection);

// Writes the readable bytes of the entries selection chooses to out, as
// extract_dl_entries would write them; whether an LZ entry decodes exactly
// is found out before any of its bytes is written. Statuses as
// print_ar_entries.
int print_dl_entries(std::FILE* archive, std::FILE* out, std::FILE* log,
                     name_selection* selection);

// Lists the archive to log without extracting it, as list_ar_archive does;
// besides, an entry whose data start with an LZ header is marked LZ with
// the unpacked size from that header, and the totals add the unpacked
// bytes of the LZ entries. Reads the header, the directory and the first 10
// bytes of each entry.
int list_dl_archive(std::FILE* archive, std::FILE* log);

// As list_ar_archive_json, for DL archives (no key; LZ entries marked).
int list_dl_archive_json(std::FILE* archive, std::FILE* out);

// Reads every entry as -e and -ed would and writes no file: LZ entries go
// through the decoder into a sink that only counts. Logs and counts as
// test_ar_archive does; an LZ entry whose sizes disagree is a problem too,
// a plain entry is not.
int test_dl_archive(std::FILE* archive, std::FILE* log, std::uint32_t* damaged);

// Writes to out (a new, seekable stream) the archive rebuilt with the files
// of directory dir, as rebuild_ar_archive does, in the writer's layout; the
// header bytes the reader ignores keep their values. An entry keeps its
// stored bytes unless its file differs from what -e writes for it and, for
// an LZ entry, from what -ed writes for it. A changed LZ entry is
// compressed again (unless the file is a whole LZ entry itself); a changed
// plain entry takes the file's bytes as they are.
int rebuild_dl_archive(std::FILE* archive, std::FILE* out, const directory_handle& dir,
                       std::FILE* log);

// As find_ar_name_clash, with names cut to 12 bytes.
bool find_dl_name_clash(std::span<const std::string> files, name_clash* clash);

// Logs "%s salvato come %s" for each of files whose name is cut to 12 bytes.
void log_dl_cut_names(std::FILE* log, std::span<const std::string> files);

// True when the archive's first bytes are the 7 bytes of the DL signature.
bool starts_with_dl_signature(std::FILE* archive);

// As edit_ar_archive, for DL archives; the header bytes the reader ignores
// keep their values. A replaced LZ entry stays an LZ entry (compressed, or
// the FILE taken whole when it is a complete LZ entry itself,
// is_whole_lz_entry); a replaced plain entry takes the FILE's bytes as they
// are; a new entry is plain, or (add_compressed) stored as
// append_compressed_dl_entry stores it. A result of more than 65535 entries
// is archive_failed, before anything is written.
int edit_dl_archive(std::FILE* archive, std::FILE* out, edit_kind kind,
                    std::span<const std::string> operands, std::FILE* log);

}  // namespace kesto

#endif
