// Writing and reading DL archives over open streams. The caller opens and
// closes the archive; the routines open and close the files they copy.
#ifndef KESTO_DL_DL_ARCHIVE_H
#define KESTO_DL_DL_ARCHIVE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "common/edit.h"
#include "common/file_handle.h"
#include "common/name_match.h"
#include "common/platform.h"
#include "common/progress.h"

namespace kesto {

// Writes a DL archive holding the count files, in order, under their base
// names cut to 12 bytes: unchanged, or with compress each as
// prepare_compressed_dl_entry decides, compressed on threads threads with
// scratch files in the directory scratch_dir names (the archive's own, so
// that they take room where it does); the archive is the same for every
// number of threads. Returns writer_status: ok; archive_failed when a
// write, seek or position query fails, when count is above 65535 (nothing
// is written then), when the archive would reach 2^31 bytes or (compress)
// a file holds 4 GiB or more; first_input + i when files[i] cannot be
// opened or read.
// progress, when given, advances by each entry written.
int create_dl_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      bool compress = false, std::string_view scratch_dir = {},
                      progress_line* progress = nullptr);

// As above, with a smaller size limit than 2^31 - 1 bytes and a chosen
// number of threads (for tests).
int create_dl_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint32_t max_size, bool compress = false,
                              unsigned threads = 1, std::string_view scratch_dir = {},
                              progress_line* progress = nullptr);

// A file on its way to becoming a compressed DL entry: its LZ entry, made
// ahead of its turn in a scratch file, or the decision to store it plain.
struct compressed_dl_entry {
  bool plain = false;
  file_handle scratch;       // the LZ entry, unless plain
  std::uint32_t size = 0;    // the LZ entry's size, unless plain
  std::fpos_t input_start{};  // where the plain bytes are read again from
  bool rereadable = false;
  bool first_size_known = false;  // plain: the trial read the file whole,
  std::uint32_t first_size = 0;   // this many bytes
};

// Decides how the bytes of input, from its position to its end, are stored
// as one DL entry: a file that is a whole LZ entry already is stored as it
// is; any other is compressed (lzss_encoder.h) into a scratch file in
// scratch_dir and stored so unless the LZ entry comes out larger than the
// file, which is then stored plain (the trial stops once it passes the
// file's size, and one that fails for want of space or past a file size
// limit gives way to the plain bytes too); a file beginning with "LZ" is
// always compressed (stored plain it would read as an LZ entry). Safe to
// run for
// several entries at once. Returns writer_status: ok; archive_failed when
// no scratch file can be made or a file beginning with "LZ" has no room;
// first_input when the input cannot be read.
// With always_lz, a file that is not a whole LZ entry is compressed whatever
// its size (a replaced LZ entry stays one).
int prepare_compressed_dl_entry(std::FILE* input, std::string_view scratch_dir,
                                compressed_dl_entry* entry, bool always_lz = false);

// Writes the prepared entry at archive's position as at most room bytes,
// reading the plain bytes of input again; *size is the entry's size.
// Returns writer_status: ok; archive_failed when a write fails or the entry
// would pass room; first_input when input cannot be read again whole.
int append_prepared_dl_entry(std::FILE* archive, std::FILE* input, compressed_dl_entry& entry,
                             std::uint64_t room, std::uint32_t* size);

// A file made ready to be a compressed DL entry, by compress_dl_entries.
struct prepared_dl_entry {
  file_handle input;  // the file, at any position
  compressed_dl_entry entry;
  // writer_status: ok; first_input when the file cannot be opened or read;
  // archive_failed as prepare_compressed_dl_entry.
  int status = 0;
};

// Makes count files ready to be compressed DL entries, as
// prepare_compressed_dl_entry decides (with always_lz), on threads threads,
// and calls use(i, prepared) on the calling thread for i = 0, 1, 2... in
// order; the first use that returns anything but 0 ends the run with that
// status. open(i), called from any thread, gives a new stream of file i at
// its start (empty when it cannot be opened); size(i) its size when known
// before reading (UINT64_MAX otherwise). A file of 384 KiB or more is
// compressed in parts on several threads at once (lzss_part_joiner), with
// the bytes one thread writes. At most 2 x threads files or parts wait for
// their turn, each in a scratch file in scratch_dir or in a few hundred KiB
// of memory.
int compress_dl_entries(std::uint32_t count, unsigned threads, std::string_view scratch_dir,
                        bool always_lz, const std::function<file_handle(std::uint32_t)>& open,
                        const std::function<std::uint64_t(std::uint32_t)>& size,
                        const std::function<int(std::uint32_t, prepared_dl_entry&)>& use);

// Writes entries 0 .. count - 1 in order with write(j, ready), where ready
// is entry j's file made ready as an LZ entry ahead of its turn
// (compress_dl_entries with always_lz, on every core) when j is one of
// chosen (in ascending order), and nullptr otherwise; open(k) and size(k)
// are those of the file of entry chosen[k]. The first write that returns
// anything but 0 ends the run with that status.
int write_with_ready_entries(
    std::uint32_t count, std::span<const std::uint32_t> chosen, std::string_view scratch_dir,
    const std::function<file_handle(std::uint32_t)>& open,
    const std::function<std::uint64_t(std::uint32_t)>& size,
    const std::function<int(std::uint32_t, prepared_dl_entry*)>& write);

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
// totals, when given, gets the number and the stored bytes of the entries
// chosen, for a progress line.
int select_dl_entries(std::FILE* archive, name_selection* selection,
                        selection_totals* totals = nullptr);

// Extracts the entries selection chooses, readable: an entry whose data
// decode exactly as an LZ entry is written decoded; one that begins with
// "LZ" but does not decode exactly is written as stored, with a line saying
// so; any other as stored. An entry whose name something already has is
// left out as extract_ar_entries leaves it. Same statuses as
// extract_dl_archive.
// progress, when given, advances by each entry chosen and is erased before
// every line.
int extract_dl_entries(std::FILE* archive, std::FILE* log, name_selection* selection,
                         progress_line* progress = nullptr);

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
// Changed LZ entries are compressed on every core, waiting for their turn
// in scratch files in scratch_dir (the archive's directory).
int rebuild_dl_archive(std::FILE* archive, std::FILE* out, const directory_handle& dir,
                       std::FILE* log, progress_line* progress = nullptr,
                       std::string_view scratch_dir = {});

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
// prepare_compressed_dl_entry decides. A result of more than 65535 entries
// is archive_failed, before anything is written. New compressed entries
// wait in scratch files in scratch_dir (the archive's directory).
// progress, when given, advances as edit_progress (common/edit.h) says.
int edit_dl_archive(std::FILE* archive, std::FILE* out, edit_kind kind,
                    std::span<const std::string> operands, std::FILE* log,
                    std::string_view scratch_dir = {}, progress_line* progress = nullptr);

}  // namespace kesto

#endif
