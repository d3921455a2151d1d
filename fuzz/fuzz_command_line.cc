// Fuzz target: kesto::run_command_line over argument vectors drawn from the
// input (words separated by zero bytes). The work directory holds an AR
// archive, a DL archive with plain and LZ entries, two input files and a
// subdirectory to point at. Words that could leave the work directory (an
// absolute path, a ".." step) make the input uninteresting, so every path
// the dispatch touches is inside the sandbox. After every input it checks
// the exit code, that the output ends in the banner or a failure line (or
// is the usage text), that the current directory is restored, that every
// file handle is closed, that nothing appears outside the work directory,
// that no temporary file remains anywhere, and that every pre-made file is
// untouched, replaced whole by an entry of its name, or, when it is an
// archive, replaced by a complete archive of a successful creation, rebuild
// or edit (-a, -az, -d); a listing or a test adds no file, and a failed
// edit leaves its archive as it was. -p writes entry data to the output and
// its failure line to a second stream; -lj writes one JSON object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/command_line.h"
#include "fuzz_support.h"

using namespace kesto_fuzz;

namespace {

constexpr std::size_t max_words = 12;
constexpr std::size_t max_word_length = 40;

const char* const usage_first_line = "Torvane Archiver / Torvane Archive Creator - uso:\n";
const char* const banner = "Torvane Archiver - operazione completata con successo\n";
const char* const failure_tail = " - Operazione non riuscita\n";

bytes u32(std::uint32_t v) {
  bytes b(4, '\0');
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  return b;
}

bytes padded(const std::string& name, std::size_t width) {
  bytes b = name;
  b.resize(width, '\0');
  return b;
}

struct entry {
  std::string name;
  bytes data;
};

// An AR archive laid out by hand, so the target does not depend on the
// writer it may exercise.
bytes make_ar(const std::vector<entry>& entries, std::uint16_t key) {
  bytes out = "AR";
  out += static_cast<char>(key & 0xFF);
  out += static_cast<char>(key >> 8);
  out += u32(12) + u32(static_cast<std::uint32_t>(entries.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(12 + 16 * entries.size());
  for (const entry& e : entries) {
    out += padded(e.name, 8) + u32(offset) + u32(static_cast<std::uint32_t>(e.data.size()));
    offset += static_cast<std::uint32_t>(e.data.size());
  }
  for (const entry& e : entries) {
    std::uint8_t a = static_cast<std::uint8_t>(key), b = static_cast<std::uint8_t>(key >> 8);
    for (char c : e.data) {
      std::uint8_t t = static_cast<std::uint8_t>(a + b);
      a = b;
      b = t;
      out += static_cast<char>(static_cast<std::uint8_t>(c) + t);
    }
  }
  return out;
}

bytes make_dl(const std::vector<entry>& entries) {
  bytes out("DL1.0\x1A\0\0", 8);
  out += static_cast<char>(entries.size());
  out += '\0';
  std::uint32_t directory = 16;
  for (const entry& e : entries) directory += static_cast<std::uint32_t>(e.data.size());
  out += u32(directory) + bytes(2, '\0');
  for (const entry& e : entries) out += e.data;
  for (const entry& e : entries) {
    out += padded(e.name, 12) + u32(static_cast<std::uint32_t>(e.data.size()));
  }
  return out;
}

// An LZ entry of eight literals and one reference that repeats them.
bytes make_lz_entry() {
  bytes stream = "\xFF" "kesto lz";
  stream += bytes("\x00\xEE\xF5", 3);  // reference to 4078, length 8
  bytes out = "LZ" + u32(static_cast<std::uint32_t>(stream.size())) + u32(16);
  return out + stream;
}

struct premade {
  std::string name;
  bytes contents;
  std::vector<bytes> entries;  // contents an extraction may give this name
};

const std::vector<premade>& premade_files() {
  static const std::vector<premade> files = [] {
    const entry ar_f1{"f1", "entry f1 of a.ar\n"};
    const entry ar_f2{"f2", bytes(40000, 'x')};  // crosses one copy chunk
    const entry ar_dl{"d.dl", "entry d.dl of a.ar\n"};
    const entry ar_self{"a.ar", "never extracted: the archive itself\n"};
    const entry dl_f1{"f1", "entry f1 of d.dl\n"};
    const entry dl_lz{"lz.txt", make_lz_entry()};
    return std::vector<premade>{
        {"a.ar", make_ar({ar_f1, ar_f2, {"e0", ""}, ar_dl, ar_self}, 0x1234), {}},
        {"d.dl", make_dl({dl_f1, dl_lz, {"f2", ""}}), {ar_dl.data}},
        {"f1", "input file f1\n", {ar_f1.data, dl_f1.data}},
        {"f2", "input file f2\n", {ar_f2.data, ""}},
    };
  }();
  return files;
}

bool starts_with(const bytes& s, const bytes& prefix) { return s.rfind(prefix, 0) == 0; }

bool ends_with(const bytes& s, const bytes& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The words of the input, or false when a word could reach outside the
// work directory.
bool split_words(const std::uint8_t* data, std::size_t size, std::vector<std::string>* words) {
  std::string word;
  for (std::size_t i = 0; i <= size && words->size() < max_words; ++i) {
    if (i == size || data[i] == 0) {
      if (word.rfind('/', 0) == 0 || word.find("..") != std::string::npos) return false;
      words->push_back(word);
      word.clear();
    } else if (word.size() < max_word_length) {
      word += static_cast<char>(data[i]);
    }
  }
  return true;
}

bool is_archive(const bytes& contents) {
  return starts_with(contents, "AR") || starts_with(contents, bytes("DL1.0\x1A", 6));
}

bool is_word(const std::vector<std::string>& words, const char* option) {
  return !words.empty() && strcasecmp(words[0].c_str(), option) == 0;
}

void check_output(const std::vector<std::string>& words, const bytes& output, const bytes& errors,
                  int code) {
  KESTO_FUZZ_CHECK(code == 0 || code == 1, "exit code %d", code);
  const bool printing = is_word(words, "-p") && words.size() >= 3;
  KESTO_FUZZ_CHECK(printing ? (code == 0) == errors.empty() : errors.empty(), "standard error: %s",
                   errors.c_str());
  if (printing) {
    KESTO_FUZZ_CHECK(code == 0 || ends_with(errors, failure_tail), "-p failed without a line");
    return;
  }
  // --help, -h and /? print the usage text and more lines; --version one.
  if (code == 0 && words.size() == 1) {
    KESTO_FUZZ_CHECK(starts_with(output, usage_first_line) || starts_with(output, "kesto "),
                     "help or version printed %s", output.c_str());
    return;
  }
  if (code == 0 && is_word(words, "-lj") && words.size() == 2) {
    KESTO_FUZZ_CHECK(starts_with(output, "{\n") && ends_with(output, "}\n"), "-lj printed %s",
                     output.c_str());
    return;
  }
  if (code == 0) {
    KESTO_FUZZ_CHECK(ends_with(output, banner), "success without the banner: %s", output.c_str());
  } else {
    KESTO_FUZZ_CHECK(ends_with(output, failure_tail) || starts_with(output, usage_first_line),
                     "failure without a failure line: %s", output.c_str());
  }
}

void check_premade(int code) {
  for (const premade& f : premade_files()) {
    KESTO_FUZZ_CHECK(::access(f.name.c_str(), F_OK) == 0, "%s was removed", f.name.c_str());
    const bytes now = read_file(f.name);
    if (now == f.contents) continue;
    bool allowed = false;
    for (const bytes& e : f.entries) allowed = allowed || now == e;
    // A successful creation, rebuild or edit (-a, -az, -d) may replace an
    // archive with a whole new archive; a file that is no archive is never
    // made one.
    allowed = allowed || (code == 0 && is_archive(now) && is_archive(f.contents));
    KESTO_FUZZ_CHECK(allowed, "%s changed into %zu bytes that are neither an entry nor an archive",
                     f.name.c_str(), now.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words;
  if (!split_words(data, size, &words)) return -1;  // not added to the corpus
  sandbox& box = sandbox::get();
  box.clean();
  for (const premade& f : premade_files()) write_file(f.name, f.contents);
  ::mkdir("sub", 0777);

  char* out_buf = nullptr;
  std::size_t out_size = 0;
  std::FILE* out = ::open_memstream(&out_buf, &out_size);
  char* err_buf = nullptr;
  std::size_t err_size = 0;
  std::FILE* err = ::open_memstream(&err_buf, &err_size);
  const int files_before = count_open_files();
  const int code = kesto::run_command_line(words, out, err);
  const int files_after = count_open_files();
  std::fclose(out);
  std::fclose(err);
  const bytes output(out_buf, out_size);
  const bytes errors(err_buf, err_size);
  std::free(out_buf);
  std::free(err_buf);

  KESTO_FUZZ_CHECK(files_before == files_after, "%d files open before, %d after", files_before,
                   files_after);
  check_output(words, output, errors, code);
  box.check_confined();
  for (const std::string& name : list_tree(".")) {
    KESTO_FUZZ_CHECK(!is_temporary_name(name), "temporary file left: %s", name.c_str());
  }
  check_premade(code);
  // The listings, the test and -p read the archive and write no file.
  if ((words.size() == 2 &&
       (is_word(words, "-l") || is_word(words, "-lj") || is_word(words, "-t"))) ||
      (words.size() >= 3 && is_word(words, "-p"))) {
    KESTO_FUZZ_CHECK(list_tree(".").size() == premade_files().size() + 1,
                     "-l, -lj, -t or -p made a file");
  }
  return 0;
}
