// Every archive the writers build, cut at every byte offset and extracted
// with -e and -ed through the front end. The expected exit code, output and
// files for each length are worked out here from the layout alone (where each
// header field, record and entry lies), not by asking the code under test.
#include <filesystem>

#include "ar/ar_archive.h"
#include "cli/command_line.h"
#include "dl/dl_archive.h"
#include "lzss_encoder.h"
#include "test_util.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

const std::string banner = "Torvane Archiver - operazione completata con successo\n";
const std::string tail = " - Operazione non riuscita\n";
const std::string read_error = "Errore di lettura nell'archivio" + tail;
const std::string unknown_format = "Formato di archivio non riconosciuto" + tail;

struct input {
  std::string name;  // short enough to be stored whole
  bytes data;        // what the archive stores
  bytes extracted;   // what -ed gives for an LZ entry
  bool lz = false;
};

struct outcome {
  int code = 0;
  std::string output;
  std::map<std::string, bytes> files;
};

bytes write_archive(bool ar, std::uint16_t key, const std::vector<input>& inputs) {
  fs::create_directory("in");
  std::vector<std::string> paths;
  for (const auto& in : inputs) {
    paths.push_back("in/" + in.name);
    write_file(paths.back(), in.data);
  }
  std::vector<const char*> files;
  for (const auto& p : paths) files.push_back(p.c_str());
  std::FILE* f = std::fopen("full.arc", "wb");
  const auto count = static_cast<std::uint32_t>(files.size());
  EXPECT_EQ(ar ? kesto::create_ar_archive(f, files.data(), count, key)
               : kesto::create_dl_archive(f, files.data(), count),
            0);
  std::fclose(f);
  fs::remove_all("in");
  return read_file("full.arc");
}

// AR layout: 12-byte header, 16-byte records, data back to back.
outcome expect_ar_extract(const std::vector<input>& inputs, std::size_t length) {
  outcome o;
  o.code = 1;
  if (length < 12) return o.output = read_error, o;
  std::size_t data_at = 12 + 16 * inputs.size();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const input& in = inputs[i];
    if (length < 12 + 16 * (i + 1)) return o.output += read_error, o;
    if (!in.data.empty() && length < data_at + in.data.size()) {
      return o.output += "Impossibile leggere il file " + in.name + " dall'archivio" + tail, o;
    }
    o.output += in.name + "\n";
    o.files[in.name] = in.data;
    data_at += in.data.size();
  }
  o.code = 0;
  o.output += banner;
  return o;
}

// DL layout: 16-byte header (count and directory offset readable from 14
// bytes on), data back to back from 16, the records at the end. An entry's
// record lies after its data, so a readable record means readable data.
outcome expect_dl_extract(const std::vector<input>& inputs, const bytes& cut, bool decompress) {
  outcome o;
  o.code = 1;
  if (cut.size() < 14) return o.output = read_error, o;
  std::size_t directory = 16;
  for (const auto& in : inputs) directory += in.data.size();
  std::size_t data_at = 16;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const input& in = inputs[i];
    if (cut.size() < directory + 16 * (i + 1)) return o.output += read_error, o;
    const std::size_t at = data_at;
    data_at += in.data.size();
    if (!decompress) {
      o.output += in.name + "\n";
      o.files[in.name] = in.data;
      continue;
    }
    // An entry of 0 or 1 bytes cannot hold the "LZ" signature; a longer one
    // is whole here, since the record after it was readable.
    if (in.data.size() < 2 || cut.compare(at, 2, "LZ") != 0) {
      o.output += in.name + " non compresso con LZSS\n";
      continue;
    }
    if (in.data.size() < 10) {
      return o.output += "Impossibile leggere il file " + in.name + " dall'archivio" + tail, o;
    }
    o.output += in.name + "\n";
    o.files[in.name] = in.extracted;
  }
  o.code = 0;
  o.output += banner;
  return o;
}

outcome run_extraction(const std::string& option) {
  outcome o;
  std::FILE* out = std::tmpfile();
  o.code = kesto::run_command_line({option, "cut.arc", "out"}, out);
  std::fflush(out);
  o.output.assign(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  EXPECT_EQ(std::fread(o.output.data(), 1, o.output.size(), out), o.output.size());
  std::fclose(out);
  if (fs::exists("out")) {
    for (const auto& e : fs::directory_iterator("out")) {
      o.files[e.path().filename().string()] = read_file(e.path().string());
    }
  }
  fs::remove_all("out");
  return o;
}

void expect_same(const outcome& got, const outcome& want, const std::string& context) {
  EXPECT_EQ(got.code, want.code) << context;
  EXPECT_EQ(got.output, want.output) << context;
  EXPECT_EQ(got.files, want.files) << context;
}

class truncation_sweep : public scratch_dir_test {
 protected:
  void sweep_ar(std::uint16_t key, const std::vector<input>& inputs) {
    const bytes full = write_archive(true, key, inputs);
    for (std::size_t length = 0; length <= full.size(); ++length) {
      write_file("cut.arc", full.substr(0, length));
      const std::string context = "AR archive cut to " + std::to_string(length) + " bytes";
      expect_same(run_extraction("-e"), expect_ar_extract(inputs, length), context + ", -e");
      outcome lz;
      lz.code = 1;
      lz.output = length < 8 ? read_error : unknown_format;
      expect_same(run_extraction("-ed"), lz, context + ", -ed");
      if (HasFailure()) return;
    }
  }

  void sweep_dl(const std::vector<input>& inputs) {
    const bytes full = write_archive(false, 0, inputs);
    for (std::size_t length = 0; length <= full.size(); ++length) {
      const bytes cut = full.substr(0, length);
      write_file("cut.arc", cut);
      const std::string context = "DL archive cut to " + std::to_string(length) + " bytes";
      outcome copy = length < 2 ? outcome{1, read_error, {}} : expect_dl_extract(inputs, cut, false);
      expect_same(run_extraction("-e"), copy, context + ", -e");
      expect_same(run_extraction("-ed"), expect_dl_extract(inputs, cut, true), context + ", -ed");
      if (HasFailure()) return;
    }
  }
};

input plain(const std::string& name, const bytes& data) { return {name, data, {}, false}; }

input lz(const std::string& name, const bytes& data) { return {name, lz_entry(data), data, true}; }

TEST_F(truncation_sweep, ar_archive_of_one_entry) { sweep_ar(0, {plain("a.txt", "abc")}); }

TEST_F(truncation_sweep, keyed_ar_archive_with_an_empty_entry) {
  sweep_ar(0xBEEF, {plain("one", "1"), plain("empty", ""), plain("forty", random_bytes(40, 3))});
}

TEST_F(truncation_sweep, ar_archive_without_entries) { sweep_ar(0x0102, {}); }

TEST_F(truncation_sweep, dl_archive_of_one_entry) { sweep_dl({plain("a.txt", "abc")}); }

TEST_F(truncation_sweep, dl_archive_with_an_empty_entry) {
  sweep_dl({plain("one", "1"), plain("empty", ""), plain("forty", random_bytes(40, 4))});
}

TEST_F(truncation_sweep, dl_archive_without_entries) { sweep_dl({}); }

TEST_F(truncation_sweep, dl_archive_of_lz_and_plain_entries) {
  bytes text;
  for (int i = 0; i < 30; ++i) text += "voce " + std::to_string(i % 4) + ";";
  sweep_dl({lz("lz1", text), plain("plain", "testo semplice"), lz("lz2", ""), plain("e", "")});
}

// An empty plain entry in front of an LZ entry is skipped, never judged by
// the "LZ" that follows it.
TEST_F(truncation_sweep, dl_archive_with_an_empty_entry_before_an_lz_entry) {
  sweep_dl({plain("e", ""), lz("lz1", "abcabcabcabc"), plain("x", "1")});
}

}  // namespace
}  // namespace kesto_test
