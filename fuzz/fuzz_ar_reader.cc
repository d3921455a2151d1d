// Fuzz target: extract_ar_archive over arbitrary bytes. Beyond "no crash"
// it checks after every input that the status is one the reader may return
// and agrees with the signature, that every file it opened is closed, that
// nothing appears outside the work directory, that no temporary file stays,
// and that every file on disk is either a planted file left untouched or
// the whole unscrambled data of an entry of that name.
#include <cstddef>
#include <cstdint>

#include "ar/ar_archive.h"
#include "fuzz_support.h"

using namespace kesto_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int status = check_reader(data, size, kesto::extract_ar_archive,
                                  model_ar_entries(data, size));
  if (size < 2) {
    KESTO_FUZZ_CHECK(status == 2, "a %zu-byte file gave status %d", size, status);
  } else if (data[0] != 'A' || data[1] != 'R') {
    KESTO_FUZZ_CHECK(status == 1, "a file without \"AR\" gave status %d", status);
  } else if (size < 12) {
    KESTO_FUZZ_CHECK(status == 2, "a %zu-byte AR header gave status %d", size, status);
  } else {
    KESTO_FUZZ_CHECK(status != 1, "an AR archive was taken for another format");
  }
  return 0;
}
