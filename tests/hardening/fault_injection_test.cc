// Every reader, writer and the decoder driven through every failure point of
// the streams they use: the archive stream (a fault_stream failing a read,
// write, seek, position query or close at the Nth call or after N bytes),
// the files they open themselves (a child process with a file size limit),
// and inputs that cannot be read (a directory). Each run checks the status,
// that every file opened was closed, that no half-written entry appears
// under its name, and that files present before stay as they were.
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "ar/ar_archive.h"
#include "cli/command_line.h"
#include "common/file_handle.h"
#include "dl/dl_archive.h"
#include "fault_stream.h"
#include "lzss/lzss_decoder.h"
#include "lzss_encoder.h"
#include "test_util.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;
using contents_map = std::map<std::string, bytes>;

constexpr std::uint16_t test_key = 0x5A17;
const bytes planted = "a file that was here before\n";
const bytes planted_name = "gamma";
// Creation replaces only an archive (or an empty file).
const bytes planted_archive = "AR: an archive that was here before\n";

// Small inputs, so that a loop over every byte stays quick.
contents_map small_inputs() {
  return {{"alpha", "alpha\n"}, {"empty", ""}, {"gamma", random_bytes(50, 1)}};
}

// An entry across the 32768-byte copy chunk, for the call-counted faults.
contents_map large_inputs() {
  return {{"big", random_bytes(40000, 2)}, {"gamma", "tail\n"}};
}

// Inputs for decompress mode: LZ entries under their names, one plain file.
contents_map lz_inputs() {
  bytes text;
  for (int i = 0; i < 20; ++i) text += "riga " + std::to_string(i % 9) + " di testo\n";
  return {{"alpha", lz_entry(text)}, {"plain", "not an LZ entry\n"}, {"gamma", lz_entry("g")}};
}

bytes lz_decoded(const std::string& name) {
  if (name == "alpha") {
    bytes text;
    for (int i = 0; i < 20; ++i) text += "riga " + std::to_string(i % 9) + " di testo\n";
    return text;
  }
  return "g";
}

std::vector<std::string> write_inputs(const contents_map& inputs) {
  fs::create_directory("in");
  std::vector<std::string> paths;
  for (const auto& [name, data] : inputs) {
    write_file("in/" + name, data);
    paths.push_back("in/" + name);
  }
  return paths;
}

std::vector<const char*> c_strings(const std::vector<std::string>& v) {
  std::vector<const char*> out;
  for (const auto& s : v) out.push_back(s.c_str());
  return out;
}

enum class format { ar, dl, dl_compressed };

int create_archive(format f, std::FILE* archive, const std::vector<const char*>& files,
                   std::uint16_t key = test_key) {
  const auto count = static_cast<std::uint32_t>(files.size());
  return f == format::ar ? kesto::create_ar_archive(archive, files.data(), count, key)
                         : kesto::create_dl_archive(archive, files.data(), count,
                                                    f == format::dl_compressed);
}

bytes build_archive(format f, const std::vector<std::string>& paths) {
  std::FILE* tmp = std::tmpfile();
  EXPECT_EQ(create_archive(f, tmp, c_strings(paths)), 0);
  std::fseek(tmp, 0, SEEK_END);  // the writer ends at its last patch, not at the end
  const long size = std::ftell(tmp);
  bytes out(static_cast<std::size_t>(size), '\0');
  std::rewind(tmp);
  EXPECT_EQ(std::fread(out.data(), 1, out.size(), tmp), out.size());
  std::fclose(tmp);
  return out;
}

using reader_fn = std::function<int(std::FILE*, std::FILE*)>;

int ar_reader(std::FILE* a, std::FILE* log) { return kesto::extract_ar_archive(a, log); }
int dl_copy(std::FILE* a, std::FILE* log) { return kesto::extract_dl_archive(a, log, false); }
int dl_decompress(std::FILE* a, std::FILE* log) { return kesto::extract_dl_archive(a, log, true); }

// Every file in the current directory is a whole entry or the planted file
// as it was, and the planted file is still there.
void expect_whole_entries_only(const contents_map& entries, const std::string& context) {
  for (const auto& e : fs::directory_iterator(".")) {
    const std::string name = e.path().filename().string();
    ASSERT_FALSE(name.rfind(".kesto-", 0) == 0) << context << ": temporary file " << name;
    const bytes now = read_file(name);
    if (name == planted_name && now == planted) continue;
    auto it = entries.find(name);
    ASSERT_TRUE(it != entries.end()) << context << ": unexpected file " << name;
    EXPECT_EQ(now, it->second) << context << ": " << name << " is not the whole entry";
  }
  EXPECT_TRUE(file_exists(planted_name)) << context << ": the planted file is gone";
}

// Runs reader over archive with the plan (kind, n) in a fresh directory
// holding the planted file. Returns whether the plan was triggered.
bool run_reader_with_fault(const reader_fn& reader, const bytes& archive, fault kind,
                           std::uint64_t n, const contents_map& entries, bool buffered) {
  const std::string context = std::string(fault_name(kind)) + " at " + std::to_string(n);
  fs::remove_all("run");
  fs::create_directory("run");
  fs::current_path("run");
  write_file(planted_name, planted);
  fault_state state;
  state.data = archive;
  state.kind = kind;
  state.at = n;
  std::FILE* stream = open_fault_stream(&state, "rb", buffered);
  std::FILE* log = std::tmpfile();
  const int files_before = count_open_files();
  const int status = reader(stream, log);
  EXPECT_EQ(count_open_files(), files_before) << context << ": a file was left open";
  std::fclose(stream);
  std::fclose(log);
  if (!state.triggered) {
    EXPECT_EQ(status, 0) << context;
    for (const auto& [name, data] : entries) EXPECT_EQ(read_file(name), data) << context;
  } else {
    // A failing archive read is never "another format", nor a failure of
    // the entry file.
    EXPECT_TRUE(status == 2 || status == 3) << context << ": status " << status;
  }
  expect_whole_entries_only(entries, context);
  fs::current_path("..");
  return state.triggered;
}

// Unbuffered for small archives (every byte a call of its own), buffered for
// large ones (calls per buffer refill, entries across the copy chunk).
void sweep_reader(const reader_fn& reader, const bytes& archive, const contents_map& entries,
                  std::initializer_list<fault> kinds) {
  const bool buffered = archive.size() > 4096;
  for (fault kind : kinds) {
    std::uint64_t n = 0;
    while (run_reader_with_fault(reader, archive, kind, n, entries, buffered)) {
      ASSERT_LT(++n, 100000u) << "the routine never succeeded";
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Sweeps reader over an archive of the small inputs (failing reads by call
// and by byte, and seeks) and one of the large inputs (reads and seeks).
void sweep_small_and_large(format f, const reader_fn& reader) {
  const bytes small = build_archive(f, write_inputs(small_inputs()));
  sweep_reader(reader, small, small_inputs(), {fault::read_call, fault::read_bytes, fault::seek_call});
  fs::remove_all("in");
  const bytes large = build_archive(f, write_inputs(large_inputs()));
  sweep_reader(reader, large, large_inputs(), {fault::read_call, fault::seek_call});
}

class fault_injection : public scratch_dir_test {};

TEST_F(fault_injection, ar_reader_survives_every_archive_read_and_seek_failure) {
  sweep_small_and_large(format::ar, ar_reader);
}

TEST_F(fault_injection, dl_reader_copy_mode_survives_every_archive_read_and_seek_failure) {
  sweep_small_and_large(format::dl, dl_copy);
}

TEST_F(fault_injection, dl_reader_decompress_mode_survives_every_archive_read_and_seek_failure) {
  auto archive = build_archive(format::dl, write_inputs(lz_inputs()));
  contents_map kept{{"alpha", lz_decoded("alpha")}, {"gamma", lz_decoded("gamma")}};
  sweep_reader(dl_decompress, archive, kept, {fault::read_call, fault::read_bytes, fault::seek_call});
}

TEST_F(fault_injection, lzss_decoder_reports_every_read_and_write_failure) {
  bytes text;
  for (int i = 0; i < 300; ++i) text += "parola " + std::to_string(i % 13) + " ";
  const bytes entry = lz_entry(text);
  for (fault kind : {fault::read_call, fault::read_bytes, fault::write_call, fault::write_bytes}) {
    const bool on_input = kind == fault::read_call || kind == fault::read_bytes;
    for (std::uint64_t n = 0;; ++n) {
      fault_state in_state, out_state;
      in_state.data = entry;
      (on_input ? in_state : out_state).kind = kind;
      (on_input ? in_state : out_state).at = n;
      std::FILE* in = open_fault_stream(&in_state, "rb");
      std::FILE* out = open_fault_stream(&out_state, "w+b");
      const int r = kesto::lzss_decode_entry(in, out, static_cast<std::uint32_t>(entry.size()));
      std::fclose(in);
      std::fclose(out);
      const std::string context = std::string(fault_name(kind)) + " at " + std::to_string(n);
      // What was written before the failure is the start of the true output.
      ASSERT_EQ(out_state.data, text.substr(0, out_state.data.size())) << context;
      if (!in_state.triggered && !out_state.triggered) {
        ASSERT_EQ(r, kesto::lzss_result::ok) << context;
        ASSERT_EQ(out_state.data, text) << context;
        break;
      }
      // A decoder that reads ahead may meet the failure past the last byte
      // it needs; then the entry is whole and decoded.
      if (on_input && r == kesto::lzss_result::ok) {
        ASSERT_EQ(out_state.data, text) << context;
        continue;
      }
      ASSERT_EQ(r, on_input ? kesto::lzss_result::read_failed : kesto::lzss_result::write_failed)
          << context;
      ASSERT_LT(n, 100000u);
    }
  }
}

// Runs a writer on a fault stream until it no longer fails; every failed
// run reports archive_failed and leaves no input open, the run without a
// failure gives the same bytes as a run on a plain file.
void sweep_writer(format f, const contents_map& inputs, std::initializer_list<fault> kinds,
                  bool buffered) {
  const auto paths = write_inputs(inputs);
  const bytes reference = build_archive(f, paths);
  auto files = c_strings(paths);
  for (fault kind : kinds) {
    for (std::uint64_t n = 0;; ++n) {
      const std::string context = std::string(fault_name(kind)) + " at " + std::to_string(n);
      fault_state state;
      state.kind = kind;
      state.at = n;
      std::FILE* stream = open_fault_stream(&state, "w+b", buffered);
      const int files_before = count_open_files();
      const int status = create_archive(f, stream, files);
      ASSERT_EQ(count_open_files(), files_before) << context << ": an input was left open";
      const bool failed_in_call = state.triggered;
      // A buffered stream may meet the failure only when it is closed, after
      // the writer; the front end checks that close.
      const bool closed = std::fclose(stream) == 0;
      ASSERT_EQ(status, failed_in_call ? 1 : 0) << context;
      if (!state.triggered) {
        ASSERT_TRUE(closed) << context;
        ASSERT_EQ(state.data, reference) << context;
        break;
      }
      ASSERT_LT(n, 100000u);
    }
  }
  for (const auto& [name, data] : inputs) EXPECT_EQ(read_file("in/" + name), data);
}

TEST_F(fault_injection, ar_writer_reports_every_archive_write_seek_and_tell_failure) {
  sweep_writer(format::ar, small_inputs(),
               {fault::write_call, fault::write_bytes, fault::seek_call, fault::tell_call}, false);
  fs::remove_all("in");
  sweep_writer(format::ar, large_inputs(), {fault::write_call, fault::seek_call, fault::tell_call},
               true);
}

TEST_F(fault_injection, dl_writer_reports_every_archive_write_seek_and_tell_failure) {
  sweep_writer(format::dl, small_inputs(),
               {fault::write_call, fault::write_bytes, fault::seek_call, fault::tell_call}, false);
  fs::remove_all("in");
  sweep_writer(format::dl, large_inputs(), {fault::write_call, fault::seek_call, fault::tell_call},
               true);
}

// Entries stored plain after an LZ attempt (of several writes, its header
// patched last) and an LZ entry that plain bytes beginning with "LZ" need;
// it covers the attempt's tail, which the stream could not cut off.
TEST_F(fault_injection, compressed_dl_writer_reports_every_archive_write_seek_and_tell_failure) {
  sweep_writer(format::dl_compressed, small_inputs(),
               {fault::write_call, fault::write_bytes, fault::seek_call, fault::tell_call}, false);
  fs::remove_all("in");
  sweep_writer(format::dl_compressed,
               {{"big", random_bytes(40000, 2)}, {"lz", "LZ" + random_bytes(6000, 3)}},
               {fault::write_call, fault::seek_call, fault::tell_call}, true);
}

TEST_F(fault_injection, writers_report_an_unreadable_input_by_its_index_and_close_the_others) {
  const auto paths = write_inputs(small_inputs());
  fs::create_directory("a_directory");
  for (std::size_t bad = 0; bad <= paths.size(); ++bad) {
    std::vector<std::string> with_bad = paths;
    with_bad.insert(with_bad.begin() + static_cast<long>(bad), "a_directory");
    for (format f : {format::ar, format::dl, format::dl_compressed}) {
      std::FILE* tmp = std::tmpfile();
      const int files_before = count_open_files();
      const int status = create_archive(f, tmp, c_strings(with_bad), 1);
      EXPECT_EQ(count_open_files(), files_before);
      EXPECT_EQ(status, static_cast<int>(bad) + 2) << "directory at index " << bad;
      std::fclose(tmp);
    }
  }
}

TEST_F(fault_injection, a_failing_close_is_reported_by_file_handle) {
  fault_state state;
  state.kind = fault::close_call;
  kesto::file_handle f(open_fault_stream(&state, "w+b"));
  EXPECT_FALSE(f.close());
  EXPECT_TRUE(state.closed);
  EXPECT_TRUE(f.close());  // an empty handle closes without complaint
}

// Entry files that cannot grow past limit bytes: the first entry larger than
// the limit fails with status 5 and its write failure logged; the entries
// before it are whole, nothing else appears, the planted file stays.
void sweep_entry_file_limit(const reader_fn& reader, const bytes& archive,
                            const std::vector<std::pair<std::string, bytes>>& outputs,
                            const std::map<std::string, std::string>& skipped_lines) {
  write_file("archive.bin", archive);
  std::size_t largest = 0;
  for (const auto& o : outputs) largest = std::max(largest, o.second.size());
  for (std::uint64_t limit = 0; limit <= largest; ++limit) {
    const std::string context = "file size limit " + std::to_string(limit);
    fs::remove_all("run");
    fs::create_directory("run");
    write_file("run/" + planted_name, planted);
    std::string log;
    const int status = run_with_file_size_limit(
        limit,
        [&](std::FILE* out) {
          if (::chdir("run") != 0) return 100;
          std::FILE* a = std::fopen("../archive.bin", "rb");
          const int r = reader(a, out);
          std::fclose(a);
          return r;
        },
        &log);
    std::string expected_log;
    int expected_status = 0;
    contents_map done;
    for (const auto& [name, data] : outputs) {
      auto skip = skipped_lines.find(name);
      if (skip != skipped_lines.end()) {
        expected_log += skip->second;
        continue;
      }
      if (data.size() > limit) {
        expected_log += "Impossibile scrivere il file " + name;
        expected_status = 5;
        break;
      }
      expected_log += name + "\n";
      done[name] = data;
    }
    ASSERT_EQ(status, expected_status) << context;
    ASSERT_EQ(log, expected_log) << context;
    fs::current_path("run");
    expect_whole_entries_only(done, context);
    for (const auto& [name, data] : done) EXPECT_EQ(read_file(name), data) << context;
    fs::current_path("..");
    if (::testing::Test::HasFailure()) return;
  }
}

std::vector<std::pair<std::string, bytes>> in_order(const contents_map& m) {
  return {m.begin(), m.end()};
}

TEST_F(fault_injection, ar_reader_fails_cleanly_when_entry_files_cannot_grow) {
  auto archive = build_archive(format::ar, write_inputs(small_inputs()));
  sweep_entry_file_limit(ar_reader, archive, in_order(small_inputs()), {});
}

TEST_F(fault_injection, dl_reader_copy_mode_fails_cleanly_when_entry_files_cannot_grow) {
  auto archive = build_archive(format::dl, write_inputs(small_inputs()));
  sweep_entry_file_limit(dl_copy, archive, in_order(small_inputs()), {});
}

TEST_F(fault_injection, dl_reader_decompress_mode_fails_cleanly_when_entry_files_cannot_grow) {
  auto archive = build_archive(format::dl, write_inputs(lz_inputs()));
  sweep_entry_file_limit(dl_decompress, archive,
                         {{"alpha", lz_decoded("alpha")}, {"gamma", lz_decoded("gamma")},
                          {"plain", ""}},
                         {{"plain", "plain non compresso con LZSS\n"}});
}

// The front end's creation under a file size limit: a run that cannot write
// the whole archive reports it, leaves the earlier file at the archive path
// (an archive) as it was and no temporary file; one that can succeeds.
void sweep_creation_limit(const std::string& option) {
  const auto paths = write_inputs(small_inputs());
  const format f = option == "-cd" ? format::dl : option == "-cdz" ? format::dl_compressed : format::ar;
  const bytes reference = build_archive(f, paths);
  std::vector<std::string> words{option};
  if (option == "-cfk") words.push_back("5a17");
  words.push_back("new.arc");
  words.insert(words.end(), paths.begin(), paths.end());
  for (std::uint64_t limit = 0; limit <= reference.size(); ++limit) {
    const std::string context = option + " with file size limit " + std::to_string(limit);
    write_file("new.arc", planted_archive);
    std::string output;
    const int code = run_with_file_size_limit(
        limit, [&](std::FILE* out) { return kesto::run_command_line(words, out); }, &output);
    for (const auto& e : fs::directory_iterator(".")) {
      ASSERT_NE(e.path().filename().string().rfind(".kesto-", 0), 0u) << context;
    }
    if (limit < reference.size()) {
      ASSERT_EQ(code, 1) << context;
      ASSERT_EQ(output, "Impossibile scrivere il file new.arc - Operazione non riuscita\n") << context;
      ASSERT_EQ(read_file("new.arc"), planted_archive) << context;
    } else {
      ASSERT_EQ(code, 0) << context;
      ASSERT_EQ(read_file("new.arc"), reference) << context;
    }
  }
}

TEST_F(fault_injection, failed_ar_creation_leaves_no_archive_and_no_temporary_file) {
  sweep_creation_limit("-cfk");
}

TEST_F(fault_injection, failed_dl_creation_leaves_no_archive_and_no_temporary_file) {
  sweep_creation_limit("-cd");
  sweep_creation_limit("-cdz");
}

TEST_F(fault_injection, creation_with_an_unreadable_input_leaves_nothing_behind) {
  write_inputs(small_inputs());
  fs::create_directory("a_directory");
  for (const char* option : {"-cf", "-cd", "-cdz"}) {
    std::string output;
    std::FILE* out = std::tmpfile();
    const int code = kesto::run_command_line({option, "fresh.arc", "in/alpha", "a_directory"}, out);
    std::fflush(out);
    std::rewind(out);
    char buf[256] = {};
    output.assign(buf, std::fread(buf, 1, sizeof buf, out));
    std::fclose(out);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(output, "Impossibile leggere il file a_directory - Operazione non riuscita\n");
    EXPECT_EQ(listing(), (std::vector<std::string>{"a_directory", "in"})) << option;
  }
}

}  // namespace
}  // namespace kesto_test
