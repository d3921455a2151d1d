#include "fuzz_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "bytewise_lzss_decoder.h"

namespace fs = std::filesystem;

namespace kesto_fuzz {

namespace {

const char* const archive_name = "ARCHIVE";
const char* const planted_prefix = "planted by the harness: ";

std::string temp_base() {
  if (const char* dir = std::getenv("KESTO_FUZZ_TMP")) return dir;
  if (::access("/dev/shm", W_OK) == 0) return "/dev/shm";  // no disk traffic per input
  if (const char* dir = std::getenv("TMPDIR")) return dir;
  return "/tmp";
}

std::string root_to_remove;

void remove_root() {
  if (root_to_remove.empty()) return;
  std::error_code ec;
  fs::current_path("/", ec);
  fs::remove_all(root_to_remove, ec);
}

void list_into(const fs::path& base, const fs::path& dir, std::vector<std::string>* out) {
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string rel = fs::relative(e.path(), base).string();
    if (e.is_directory() && !e.is_symlink()) {
      out->push_back(rel + "/");
      list_into(base, e.path(), out);
    } else {
      out->push_back(rel);
    }
  }
}

}  // namespace

sandbox& sandbox::get() {
  static sandbox box;
  return box;
}

sandbox::sandbox() {
  std::string pattern = temp_base() + "/kesto-fuzz-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  KESTO_FUZZ_CHECK(::mkdtemp(buf.data()) != nullptr, "cannot make %s", pattern.c_str());
  root_ = buf.data();
  work_ = root_ + "/w";
  fs::create_directory(work_);
  root_to_remove = root_;
  std::atexit(remove_root);
  fs::current_path(work_);
}

void sandbox::clean() {
  std::error_code ec;
  fs::current_path(work_, ec);
  KESTO_FUZZ_CHECK(!ec, "cannot enter %s", work_.c_str());
  for (const auto& e : fs::directory_iterator(work_)) fs::remove_all(e.path());
}

void sandbox::check_confined() const {
  std::error_code ec;
  KESTO_FUZZ_CHECK(fs::current_path(ec) == fs::path(work_), "current directory changed to %s",
                   fs::current_path(ec).c_str());
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root_)) names.push_back(e.path().filename().string());
  KESTO_FUZZ_CHECK(names.size() == 1 && names[0] == "w", "a file appeared outside the work dir: %s",
                   names.empty() ? "(work dir gone)" : names.back().c_str());
}

int count_open_files() {
  DIR* d = ::opendir("/proc/self/fd");
  KESTO_FUZZ_CHECK(d != nullptr, "cannot list /proc/self/fd");
  int n = 0;
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

void write_file(const std::string& path, const bytes& contents) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  KESTO_FUZZ_CHECK(f != nullptr, "cannot create %s", path.c_str());
  KESTO_FUZZ_CHECK(std::fwrite(contents.data(), 1, contents.size(), f) == contents.size(),
                   "cannot write %s", path.c_str());
  KESTO_FUZZ_CHECK(std::fclose(f) == 0, "cannot close %s", path.c_str());
}

bytes read_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  KESTO_FUZZ_CHECK(f != nullptr, "cannot open %s", path.c_str());
  bytes out;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return out;
}

std::vector<std::string> list_tree(const std::string& dir) {
  std::vector<std::string> out;
  list_into(dir, dir, &out);
  std::sort(out.begin(), out.end());
  return out;
}

bool is_temporary_name(const std::string& name) {
  // The routines' temporary files are ".kesto-<16 hex digits>.tmp": 27
  // bytes, so an entry name (at most 12) may look like one but never is one.
  const std::size_t slash = name.find_last_of('/');
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return base.size() == 27 && base.rfind(".kesto-", 0) == 0 &&
         base.compare(23, 4, ".tmp") == 0 &&
         base.substr(7, 16).find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool is_safe_name(const std::string& name) {
  for (char c : name) {
    if ((c > 0 && c < 0x20) || c == 0x7F) return false;
  }
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\:") == std::string::npos;
}

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::FILE* open_memory(const bytes& data) {
  // fmemopen refuses an empty buffer; an empty stream is a stream at its end.
  static char empty_buffer[1];
  if (data.empty()) {
    std::FILE* f = ::fmemopen(empty_buffer, 1, "rb");
    if (f != nullptr) std::fgetc(f);
    return f;
  }
  return ::fmemopen(const_cast<char*>(data.data()), data.size(), "rb");
}

int run_lz_decoder(lz_decoder decode, const bytes& data, std::uint32_t entry_size, bytes* out) {
  std::FILE* in = open_memory(data);
  char* out_buf = nullptr;
  std::size_t out_size = 0;
  std::FILE* out_stream = ::open_memstream(&out_buf, &out_size);
  KESTO_FUZZ_CHECK(in != nullptr && out_stream != nullptr, "cannot open memory streams");
  const int result = decode(in, out_stream, entry_size);
  std::fclose(in);
  std::fclose(out_stream);
  out->assign(out_buf, out_size);
  std::free(out_buf);
  return result;
}

entry_contents model_ar_entries(const std::uint8_t* data, std::size_t size) {
  entry_contents model;
  if (size < 12 || data[0] != 'A' || data[1] != 'R') return model;
  const std::uint32_t first = le32(data + 4);
  const std::uint32_t end = first + le32(data + 8) * 16u;
  for (std::uint32_t p = first; p < end; p += 16) {
    if (p > 0x7FFFFFFFu || std::uint64_t{p} + 16 > size) break;
    std::string name(reinterpret_cast<const char*>(data + p), 8);
    name.resize(std::strlen(name.c_str()));
    std::vector<bytes>& contents = model[name];  // every name is listed, whole or not
    const std::uint32_t offset = le32(data + p + 8);
    const std::uint32_t length = le32(data + p + 12);
    if (offset > 0x7FFFFFFFu) continue;  // the seek fails before any file is made
    if (length == 0) contents.emplace_back();  // reads nothing, wherever it points
    if (length == 0 || std::uint64_t{offset} + length > size) continue;
    bytes plain(reinterpret_cast<const char*>(data + offset), length);
    std::uint8_t a = data[2], b = data[3];
    for (char& c : plain) {
      std::uint8_t t = static_cast<std::uint8_t>(a + b);
      a = b;
      b = t;
      c = static_cast<char>(static_cast<std::uint8_t>(c) - t);
    }
    contents.push_back(plain);
  }
  return model;
}

entry_contents model_dl_entries(const std::uint8_t* data, std::size_t size, bool decompress) {
  entry_contents model;
  if (size < 14 || std::memcmp(data, "DL1.0\x1A\0", 7) != 0) return model;
  const unsigned count = le16(data + 8);
  const std::uint32_t directory = le32(data + 10);
  std::uint32_t position = 16;
  for (unsigned i = 0; i < count; ++i) {
    const std::uint32_t p = directory + 16u * i;
    if (p > 0x7FFFFFFFu || std::uint64_t{p} + 16 > size) break;
    std::string name(reinterpret_cast<const char*>(data + p), 12);
    name.resize(std::strlen(name.c_str()));
    std::vector<bytes>& contents = model[name];  // every name is listed, whole or not
    const std::uint32_t length = le32(data + p + 12);
    const std::uint32_t start = position;
    position += length;
    if (start > 0x7FFFFFFFu) continue;  // the seek fails before any file is made
    if (!decompress) {
      if (length == 0 || std::uint64_t{start} + length <= size) {
        contents.emplace_back(reinterpret_cast<const char*>(data + start), length);
      }
      continue;
    }
    if (start > size) continue;  // nothing to decode there
    bytes decoded;
    const bytes tail(reinterpret_cast<const char*>(data + start), size - start);
    const int r = run_lz_decoder(kesto_test::bytewise_lzss_decode_entry, tail, length, &decoded);
    if (r == 0 || r == 4) contents.push_back(decoded);
  }
  return model;
}

namespace {

// The log must end in the fragment the status stands for. Names may hold
// line feeds, so the fragment is looked for, not cut at the last line feed.
void check_log_tail(const bytes& log, int status) {
  const char* prefix = status == 3   ? "Impossibile leggere il file "
                       : status == 4 ? "Impossibile creare il file "
                       : status == 5 ? "Impossibile scrivere il file "
                                     : nullptr;
  if (prefix == nullptr) {
    KESTO_FUZZ_CHECK(log.empty() || log.back() == '\n', "status %d left an unfinished log line",
                     status);
    return;
  }
  const std::size_t at = log.rfind(prefix);
  KESTO_FUZZ_CHECK(at != std::string::npos, "status %d without its log fragment", status);
  const std::string end = " dall'archivio";
  if (status == 3) {
    KESTO_FUZZ_CHECK(log.size() >= end.size() &&
                         log.compare(log.size() - end.size(), end.size(), end) == 0,
                     "read failure logged as: %s", log.c_str() + at);
  }
}

}  // namespace

namespace {

void check_files(const bytes& archive, const entry_contents& model, const std::string& plant) {
  for (const std::string& name : list_tree(".")) {
    KESTO_FUZZ_CHECK(!is_temporary_name(name), "temporary file left: %s", name.c_str());
    KESTO_FUZZ_CHECK(name.back() != '/', "directory created: %s", name.c_str());
    KESTO_FUZZ_CHECK(is_safe_name(name), "unsafe name created: %s", name.c_str());
    const bytes contents = read_file(name);
    if (name == archive_name) {
      KESTO_FUZZ_CHECK(contents == archive, "the archive was changed");
      continue;
    }
    if (name == plant && contents == planted_prefix + plant) continue;
    auto it = model.find(name);
    bool whole = false;
    if (it != model.end()) {
      whole = std::find(it->second.begin(), it->second.end(), contents) != it->second.end();
    }
    KESTO_FUZZ_CHECK(whole, "%s holds %zu bytes that are no whole entry of that name", name.c_str(),
                     contents.size());
  }
  if (!plant.empty()) {
    KESTO_FUZZ_CHECK(::access(plant.c_str(), F_OK) == 0, "planted file %s was removed",
                     plant.c_str());
  }
}

}  // namespace

int check_reader(const std::uint8_t* data, std::size_t size, reader_fn reader,
                 const entry_contents& model) {
  sandbox& box = sandbox::get();
  box.clean();
  const bytes archive(reinterpret_cast<const char*>(data), size);
  write_file(archive_name, archive);
  // Plant a file under the first safe name the archive uses.
  std::string plant;
  for (const auto& [name, contents] : model) {
    if (is_safe_name(name) && name != archive_name) {
      plant = name;
      write_file(plant, planted_prefix + plant);
      break;
    }
  }
  std::FILE* in = std::fopen(archive_name, "rb");
  KESTO_FUZZ_CHECK(in != nullptr, "cannot open the archive");
  char* log_buf = nullptr;
  std::size_t log_size = 0;
  std::FILE* log = ::open_memstream(&log_buf, &log_size);
  const int files_before = count_open_files();
  const int status = reader(in, log);
  const int files_after = count_open_files();
  std::fclose(in);
  std::fclose(log);
  const bytes log_text(log_buf, log_size);
  std::free(log_buf);
  KESTO_FUZZ_CHECK(files_before == files_after, "%d files open before, %d after", files_before,
                   files_after);
  KESTO_FUZZ_CHECK(status >= 0 && status <= 5, "status %d", status);
  check_log_tail(log_text, status);
  box.check_confined();
  check_files(archive, model, plant);
  return status;
}

void check_dl_header_status(const std::uint8_t* data, std::size_t size, int status) {
  if (size < 8) {
    KESTO_FUZZ_CHECK(status == 2, "a %zu-byte file gave status %d", size, status);
  } else if (std::memcmp(data, "DL1.0\x1A\0", 7) != 0) {
    KESTO_FUZZ_CHECK(status == 1, "a file without the DL signature gave status %d", status);
  } else if (size < 14) {
    KESTO_FUZZ_CHECK(status == 2, "a %zu-byte DL header gave status %d", size, status);
  } else {
    KESTO_FUZZ_CHECK(status != 1, "a DL archive was taken for another format");
  }
}

}  // namespace kesto_fuzz
