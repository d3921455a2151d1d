// Shared pieces of the fuzz targets: an always-on check, the sandbox every
// target runs in, file-handle counting, the byte-wise LZ decoder as a
// reference, and independent models of the archive formats that say what an
// extracted file may contain.
#ifndef KESTO_FUZZ_FUZZ_SUPPORT_H
#define KESTO_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Aborts with a message when cond is false, in every build type (assert
// would vanish under NDEBUG, and the fuzzers need the abort to see a fault).
#define KESTO_FUZZ_CHECK(cond, ...)                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                            \
      std::fprintf(stderr, "\n");                                                   \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace kesto_fuzz {

using bytes = std::string;

// A private directory tree, root/w, made once per process. The target runs
// with root/w as its current directory; root holds nothing else, so any file
// that appears in root escaped the work directory. Removed at exit.
class sandbox {
 public:
  static sandbox& get();
  // Empties the work directory and makes it the current directory again.
  void clean();
  // Checks that the current directory is still the work directory and that
  // nothing appeared beside it.
  void check_confined() const;
  const std::string& work() const { return work_; }

 private:
  sandbox();
  std::string root_;
  std::string work_;
};

// Number of entries in /proc/self/fd: every stream a routine opens and
// forgets to close shows up here.
int count_open_files();

void write_file(const std::string& path, const bytes& contents);
bytes read_file(const std::string& path);

// Regular files and directories below dir, as paths relative to it; dirs
// end in "/". Sorted.
std::vector<std::string> list_tree(const std::string& dir);

// True for the names of the routines' temporary files, ".kesto-<16 hex
// digits>.tmp" (where they have a name at all).
bool is_temporary_name(const std::string& name);
// Names the readers may create: not empty, not "." or "..", without "/",
// "\", ":" or a control byte.
bool is_safe_name(const std::string& name);

std::uint32_t le32(const std::uint8_t* p);
std::uint16_t le16(const std::uint8_t* p);

// A stream over a copy of data that needs no file descriptor.
std::FILE* open_memory(const bytes& data);

// Runs an LZ entry decoder (kesto::lzss_decode_entry or the byte-wise
// reference) over data, the archive from the entry's first byte on, in
// memory streams. Returns its result and sets *out to every byte it wrote.
using lz_decoder = int (*)(std::FILE* input, std::FILE* output, std::uint32_t entry_size);
int run_lz_decoder(lz_decoder decode, const bytes& data, std::uint32_t entry_size, bytes* out);

// What each name may hold after an extraction: the bytes of every entry of
// that name whose data the archive holds in full.
using entry_contents = std::map<std::string, std::vector<bytes>>;
entry_contents model_ar_entries(const std::uint8_t* data, std::size_t size);
entry_contents model_dl_entries(const std::uint8_t* data, std::size_t size, bool decompress);

// Runs one reader over data in the sandbox and checks every invariant:
// status in range and consistent with the signature, the log's last line
// matching the status, the handle count unchanged, nothing outside the work
// directory, no temporary file, the archive untouched, a file planted under
// the first entry's name either untouched or holding a whole entry, and
// every other file holding a whole entry of its name. Returns the status.
using reader_fn = int (*)(std::FILE* archive, std::FILE* log);
int check_reader(const std::uint8_t* data, std::size_t size, reader_fn reader,
                 const entry_contents& model);

// Checks a DL reader's status against what the first bytes alone decide:
// 2 under 8 bytes, 1 without the signature, 2 for a header cut before its
// count and directory offset, never 1 for a DL archive.
void check_dl_header_status(const std::uint8_t* data, std::size_t size, int status);

}  // namespace kesto_fuzz

#endif
