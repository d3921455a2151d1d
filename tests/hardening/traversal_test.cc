// Entry names that would leave the destination directory, name a drive, or
// name no file at all, in both formats: each is refused as a file that
// cannot be created (status 4), and nothing appears outside the
// destination, nor inside it.
#include <filesystem>

#include "ar/ar_archive.h"
#include "cli/command_line.h"
#include "dl/dl_archive.h"
#include "test_util.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> hostile_names = {"../x", "..\\x", "/abs", "C:x", "a/b",
                                                "a\\b", ".",     "..",   ""};

// One entry of three bytes under name.
bytes ar_with(const std::string& name) { return ar_archive({{name, "abc"}}); }
bytes dl_with(const std::string& name, const bytes& data) { return dl_archive({{name, data}}); }

// An LZ entry of three literals, so that -ed gets as far as the name too.
const bytes lz_abc = "LZ" + u32le(4) + u32le(3) +
                     "\x07"
                     "abc";

class traversal : public scratch_dir_test {
 protected:
  void expect_refused(const std::string& option, const bytes& archive, const std::string& name) {
    const std::string context = option + " with an entry named \"" + name + "\"";
    fs::create_directories("root/dest");
    fs::current_path("root");
    write_file("t.arc", archive);
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(kesto::run_command_line({option, "t.arc", "dest"}, out), 1) << context;
    std::string output(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(output.data(), 1, output.size(), out), output.size());
    std::fclose(out);
    EXPECT_EQ(output, "Impossibile creare il file " + name + " - Operazione non riuscita\n")
        << context;
    fs::current_path("..");
    EXPECT_EQ(listing("root"), (std::vector<std::string>{"dest", "t.arc"})) << context;
    EXPECT_TRUE(listing("root/dest").empty()) << context;
    EXPECT_EQ(listing(), (std::vector<std::string>{"root"})) << context;
    EXPECT_FALSE(fs::exists("/abs")) << context;
    fs::remove_all("root");
  }

  // The routine itself, without the front end: status 4 and the fragment.
  void expect_status_4(int (*reader)(std::FILE*, std::FILE*), const bytes& archive,
                       const std::string& name) {
    write_file("t.arc", archive);
    fs::create_directory("dest");
    fs::current_path("dest");
    std::FILE* in = std::fopen("../t.arc", "rb");
    std::FILE* log = std::tmpfile();
    EXPECT_EQ(reader(in, log), 4) << name;
    std::string text(static_cast<std::size_t>(std::ftell(log)), '\0');
    std::rewind(log);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), log), text.size());
    EXPECT_EQ(text, "Impossibile creare il file " + name) << name;
    std::fclose(in);
    std::fclose(log);
    fs::current_path("..");
    EXPECT_TRUE(listing("dest").empty()) << name;
    fs::remove_all("dest");
    fs::remove("t.arc");
  }
};

int ar_reader(std::FILE* a, std::FILE* log) { return kesto::extract_ar_archive(a, log); }
int dl_copy(std::FILE* a, std::FILE* log) { return kesto::extract_dl_archive(a, log, false); }
int dl_decompress(std::FILE* a, std::FILE* log) { return kesto::extract_dl_archive(a, log, true); }

TEST_F(traversal, ar_entries_with_hostile_names_are_refused) {
  for (const auto& name : hostile_names) {
    expect_status_4(ar_reader, ar_with(name), name);
    expect_refused("-e", ar_with(name), name);
  }
}

TEST_F(traversal, dl_entries_with_hostile_names_are_refused_in_both_modes) {
  for (const auto& name : hostile_names) {
    expect_status_4(dl_copy, dl_with(name, "abc"), name);
    expect_status_4(dl_decompress, dl_with(name, lz_abc), name);
    expect_refused("-e", dl_with(name, "abc"), name);
    expect_refused("-ed", dl_with(name, lz_abc), name);
  }
}

}  // namespace
}  // namespace kesto_test
