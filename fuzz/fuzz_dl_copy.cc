// Fuzz target: extract_dl_archive in copy mode over arbitrary bytes. After
// every input it checks the status against the signature, that every file
// the reader opened is closed, that nothing appears outside the work
// directory, that no temporary file stays, and that every file on disk is
// either a planted file left untouched or the whole stored data of an entry
// of that name, found at the running data position.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dl/dl_archive.h"
#include "fuzz_support.h"

using namespace kesto_fuzz;

namespace {

int copy_mode(std::FILE* archive, std::FILE* log) {
  return kesto::extract_dl_archive(archive, log, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int status = check_reader(data, size, copy_mode, model_dl_entries(data, size, false));
  if (size < 8) {
    KESTO_FUZZ_CHECK(status == 2, "a %zu-byte file gave status %d", size, status);
  } else if (std::memcmp(data, "DL1.0\x1A\0", 7) != 0) {
    KESTO_FUZZ_CHECK(status == 1, "a file without the DL signature gave status %d", status);
  } else if (size < 14) {
    KESTO_FUZZ_CHECK(status == 2, "a %zu-byte DL header gave status %d", size, status);
  } else {
    KESTO_FUZZ_CHECK(status != 1, "a DL archive was taken for another format");
  }
  return 0;
}
