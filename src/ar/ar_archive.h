// Writing and reading AR archives over open streams. The caller opens and
// closes the archive; the routines open and close the files they copy.
#ifndef KESTO_AR_AR_ARCHIVE_H
#define KESTO_AR_AR_ARCHIVE_H

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "common/edit.h"

#include "common/name_match.h"
#include "common/platform.h"
#include "common/progress.h"

namespace kesto {

// Writes an AR archive holding the count files, in order, under their base
// names cut to 8 bytes, scrambled with key. Returns writer_status: ok;
// archive_failed when a write, seek or position query fails or the archive
// would reach 2^31 bytes; first_input + i when files[i] cannot be opened or
// read. On failure the archive holds whatever was written so far.
int create_ar_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      std::uint16_t key);

// As above, with a smaller size limit than 2^31 - 1 bytes (for tests).
int create_ar_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint16_t key, std::uint32_t max_size);

// Extracts every entry into the current directory, logging each name on a
// line of its own to log (when not null). Returns reader_status: ok;
// wrong_format when the file does not start with "AR"; bad_archive for an
// unreadable header or record or a failed seek; cannot_read, cannot_create,
// cannot_write for an entry, after logging the start of the failure line.
// Entry names that are unsafe (empty, ".", "..", holding "/", "\" or ":")
// or that name the open archive are refused as cannot_create. An entry
// reaches its name only when complete, so a failure never leaves a partial
// file nor changes a file that had the name.
int extract_ar_archive(std::FILE* archive, std::FILE* log);

// Walks the directory and lets selection see every entry's name, writing
// nothing. Returns reader_status: ok; wrong_format; bad_archive; or
// name_not_found when a NAME of selection matched no entry.
// totals, when given, gets the number and the stored bytes of the entries
// chosen, for a progress line.
int select_ar_entries(std::FILE* archive, name_selection* selection,
                        selection_totals* totals = nullptr);

// Extracts the entries selection chooses as extract_ar_archive does, except
// that an entry whose name something already has (a file that was there, or
// one an earlier entry of this run wrote) is left out with a line saying so
// and the run goes on. Same statuses as extract_ar_archive.
// progress, when given, advances by each entry chosen and is erased before
// every line.
int extract_ar_entries(std::FILE* archive, std::FILE* log, name_selection* selection,
                         progress_line* progress = nullptr);

// Writes the unscrambled bytes of the entries selection chooses to out, one
// after the other in directory order. Returns reader_status: ok,
// wrong_format, bad_archive; cannot_read for data that run out, after
// writing the bytes that could be read and logging the fragment;
// cannot_write when out fails (nothing logged).
int print_ar_entries(std::FILE* archive, std::FILE* out, std::FILE* log,
                     name_selection* selection);

// Lists the archive to log without extracting it: a line naming the format
// with the header's count and key, a line per directory record (data
// offset, size, marks for data outside the file and for a name extraction
// refuses, the name), then the totals. Reads the header and the directory
// only. Returns reader_status: ok, wrong_format, or bad_archive at the
// first record that cannot be read (the lines before it written).
int list_ar_archive(std::FILE* archive, std::FILE* log);

// The same listing as one JSON document on out (json_listing). Nothing is
// printed when a record cannot be read (bad_archive). Returns as
// list_ar_archive.
int list_ar_archive_json(std::FILE* archive, std::FILE* out);

// Reads every entry's data as extraction would and writes no file. Logs a
// line per entry: its name when sound, else the line of the problem that
// would make extraction fail (a refused name, data that cannot be read),
// and goes on with the next entry. *damaged counts the entries with a
// problem. Returns reader_status: ok, wrong_format or bad_archive.
int test_ar_archive(std::FILE* archive, std::FILE* log, std::uint32_t* damaged);

// Writes to out (a new, seekable stream) the archive rebuilt with the files
// of the open directory dir: the same entries, names, order and key, in the writer's
// layout. Each entry keeps its stored bytes, unless dir holds a regular file
// under the name extraction gives it whose bytes differ from what -e writes
// for it; then it takes that file's bytes, scrambled. Names extraction
// refuses are never looked up. Logs a line per entry ("%s sostituito" or
// "%s mantenuto"). Returns rebuild_status: ok; wrong_format; bad_archive;
// cannot_read (stored data ran out) or cannot_read_file (a file of dir that
// is no regular file or cannot be read), after logging the fragment;
// archive_failed when out cannot be written or would reach 2^31 bytes.
int rebuild_ar_archive(std::FILE* archive, std::FILE* out, const directory_handle& dir,
                       std::FILE* log, progress_line* progress = nullptr);

// True when two of files get one stored name by the letter-case rule
// (find_name_clash), cut to 8 bytes; *clash names them.
bool find_ar_name_clash(std::span<const std::string> files, name_clash* clash);

// True when the archive's first bytes are the AR signature.
bool starts_with_ar_signature(std::FILE* archive);

// Writes to out (a new, seekable stream) the archive edited as kind says
// (common/edit.h, edit_plan) with the FILEs or NAMEs of operands: the
// entries in their order and the key as they were, each keeping its stored
// bytes, taking the bytes of the FILE whose stored name has its name's key
// (scrambled with the key), or removed; then each FILE no entry took, as a
// new entry. The writer's layout. Once the archive is written, logs its
// lines (edit_plan::log_result). Returns rebuild_status: ok; wrong_format;
// bad_archive; cannot_read (stored data ran out) or cannot_read_file (a
// FILE cannot be read, or gave other bytes the second time), after logging
// the fragment; archive_failed when out cannot be written or would reach
// 2^31 bytes; edit_status::no_match (fragment logged) when a NAME matched
// nothing, or names_clash (fragment logged) when two FILEs would get one
// name, before anything is written.
// progress, when given, advances as edit_progress (common/edit.h) says.
int edit_ar_archive(std::FILE* archive, std::FILE* out, edit_kind kind,
                    std::span<const std::string> operands, std::FILE* log,
                    progress_line* progress = nullptr);

}  // namespace kesto

#endif
