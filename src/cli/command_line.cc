// Front end: chooses the operation from the option word and operand count,
// owns the archive stream, calls one archive routine and reports its status.
#include "cli/command_line.h"

#include <array>
#include <cerrno>
#include <span>

#include "ar/ar_archive.h"
#include "common/chunk_copy.h"
#include "common/code_page.h"
#include "common/edit.h"
#include "common/file_handle.h"
#include "common/name_match.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/progress.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"
#include "dl/dl_archive.h"

namespace kesto {

namespace {

constexpr const char* usage_text =
    "Torvane Archiver / Torvane Archive Creator - uso:\n"
    " kesto -e nome_archivio [destinazione]  (estrae un archivio di un qualsiasi\n"
    "\t\tformato supportato nella directory destinazione (opzionale))\n"
    " kesto -ed nome_archivio [destinazione]  (estrae da un archivio in formato\n"
    "\t\tVarneth i file compressi con LZSS decomprimendoli nella directory\n"
    "\t\tdestinazione (opzionale))\n"
    " kesto -r nome_archivio  (stampa a video la chiave di codifica di un archivio\n"
    "\t\t\t  in formato Solquin)\n"
    " kesto -cd nome_archivio file1 file2 file3 ...  (crea un archivio in formato\n"
    "\t\t\t\t\t\t Varneth)\n"
    " kesto -cf nome_archivio file1 file2 file3 ...  (crea un archivio in formato\n"
    "\t\t\t\t\t\t Solquin)\n"
    " kesto -cfk KEY nome_archivio file1 file2 file3 ...  (crea un archivio in\n"
    "       formato Solquin utilizzando la chiave (esadecimale) specificata)\n"
    "\n"
    "E-mail: kesto@example.org\n"
    "Sito:   https://example.org/kesto\n";

// The operations the usage text does not show, in its style, for --help.
// Each entry is one operation's lines; an operation added later adds its
// entry here, before the lines of --help and --version, which end the list.
constexpr const char* more_operations[] = {
    " kesto -l nome_archivio  (elenca i file di un archivio di un qualsiasi\n"
    "\t\tformato supportato senza estrarli)\n",
    " kesto -lj nome_archivio  (elenca i file di un archivio di un qualsiasi\n"
    "\t\tformato supportato in un documento JSON)\n",
    " kesto -t nome_archivio  (verifica che ogni file di un archivio si possa\n"
    "\t\testrarre, senza scrivere nulla)\n",
    " kesto -u nome_archivio directory  (ricostruisce un archivio con i file\n"
    "\t\tmodificati della directory)\n",
    " kesto -x nome_archivio destinazione [nome1 nome2 ...]  (estrae in forma\n"
    "\t\tleggibile tutti i file o quelli indicati (* e ? ammessi) nella\n"
    "\t\tdirectory destinazione, senza sovrascrivere file esistenti)\n",
    " kesto -p nome_archivio nome1 nome2 ...  (scrive sullo standard output i\n"
    "\t\tfile indicati (* e ? ammessi) in forma leggibile)\n",
    " kesto -cdz nome_archivio file1 file2 file3 ...  (crea un archivio in formato\n"
    "\t\t\t\t\t\t Varneth con i file compressi con LZSS)\n",
    " kesto -a nome_archivio file1 file2 ...  (aggiunge i file a un archivio o\n"
    "\t\tsostituisce quelli dell'archivio con lo stesso nome)\n",
    " kesto -az nome_archivio file1 file2 ...  (come -a, con i file nuovi di un\n"
    "\t\tarchivio in formato Varneth compressi con LZSS)\n",
    " kesto -d nome_archivio nome1 nome2 ...  (elimina da un archivio i file\n"
    "\t\tindicati (* e ? ammessi))\n",
    " kesto --codepage=N ...  (davanti a ogni operazione: i nomi nell'archivio\n"
    "\t\tsono nella code page N di Windows, per esempio 932 per i giochi\n"
    "\t\tgiapponesi o 1252 per quelli occidentali)\n",
    " kesto --help  (stampa questo testo; anche -h e /?)\n",
    " kesto --version  (stampa la versione di kesto)\n",
};

constexpr const char* version_line = "kesto " KESTO_VERSION "\n";

constexpr const char* success_banner = "Torvane Archiver - operazione completata con successo\n";
constexpr const char* failure_tail = " - Operazione non riuscita\n";
constexpr const char* msg_cannot_open = "Impossibile aprire il file %s";
constexpr const char* msg_cannot_create = "Impossibile creare il file %s";
constexpr const char* msg_cannot_write = "Impossibile scrivere il file %s";
constexpr const char* msg_cannot_read = "Impossibile leggere il file %s";
constexpr const char* msg_cannot_read_key = "Impossibile leggere la chiave dal file %s";
constexpr const char* msg_no_current_dir = "Impossibile ottenere la directory corrente";
constexpr const char* msg_cannot_enter_dest = "Impossibile entrare nella directory destinazione";
constexpr const char* msg_unknown_format = "Formato di archivio non riconosciuto";
constexpr const char* msg_read_error = "Errore di lettura nell'archivio";
constexpr const char* msg_damaged = "File danneggiati nell'archivio: %s";
constexpr const char* msg_not_archive = "Il file %s esiste e non sembra un archivio";
constexpr const char* msg_name_not_found = "Nessun file dell'archivio corrisponde a %s";
constexpr const char* msg_cannot_write_output = "Impossibile scrivere sullo standard output";
constexpr const char* msg_unknown_code_page = "Code page non supportata: %s";
// %s is the letter e with a grave accent (e_grave_for).
constexpr const char* msg_key_ar = "La chiave in Hex %s: %X\n\n";
constexpr const char* msg_key_other =
    "Il file non sembra un archivio, comunque la chiave in Hex %s: %X\n\n";

enum class operation {
  usage,
  help,
  version,
  key_report,
  list,
  list_json,
  test,
  extract_readable,
  print,
  extract,
  extract_lz,
  create_ar,
  create_ar_key,
  create_dl,
  create_dl_lz,
  rebuild,
  add,
  add_lz,
  remove,
};

bool is_option(const std::string& word, const char* option) {
  return compare_ignoring_case(word.c_str(), option) == 0;
}

operation choose_operation(std::span<const std::string> words) {
  if (words.size() == 1) {
    const std::string& option = words[0];
    if (is_option(option, "--help") || is_option(option, "-h") || option == "/?") {
      return operation::help;
    }
    if (is_option(option, "--version")) return operation::version;
  }
  if (words.size() < 2) return operation::usage;
  const std::string& option = words[0];
  const std::size_t operands = words.size() - 1;
  if (operands == 1 && is_option(option, "-r")) return operation::key_report;
  if (operands == 1 && is_option(option, "-l")) return operation::list;
  if (operands == 1 && is_option(option, "-lj")) return operation::list_json;
  if (operands == 1 && is_option(option, "-t")) return operation::test;
  if (operands >= 2 && is_option(option, "-x")) return operation::extract_readable;
  if (operands >= 2 && is_option(option, "-p")) return operation::print;
  if (operands <= 2 && is_option(option, "-e")) return operation::extract;
  if (operands <= 2 && is_option(option, "-ed")) return operation::extract_lz;
  if (operands < 2) return operation::usage;
  if (is_option(option, "-cf")) return operation::create_ar;
  if (is_option(option, "-cd")) return operation::create_dl;
  if (is_option(option, "-cdz")) return operation::create_dl_lz;
  if (operands >= 3 && is_option(option, "-cfk")) return operation::create_ar_key;
  if (operands == 2 && is_option(option, "-u")) return operation::rebuild;
  if (is_option(option, "-a")) return operation::add;
  if (is_option(option, "-az")) return operation::add_lz;
  if (is_option(option, "-d")) return operation::remove;
  return operation::usage;
}

// Prints a whole failure line and returns the failure exit code.
int fail(std::FILE* out, const char* first_half, const std::string& arg = {}) {
  std::fprintf(out, first_half, printable_name(arg).c_str());
  std::fputs(failure_tail, out);
  return 1;
}

int succeed(std::FILE* out) {
  std::fputs(success_banner, out);
  return 0;
}

// A directory opens as a stream on some systems; it is no archive anywhere.
file_handle open_archive(const std::string& path) {
  if (is_directory(path.c_str())) return file_handle();
  file_handle archive(open_for_reading(path.c_str()));
  if (archive) use_chunks_unbuffered(archive.get());
  return archive;
}

// -l, -t, -u, -a and -d read the archive more than once, so only a
// regular file will do; a FIFO is refused at once instead of waited on.
file_handle open_regular_archive(const std::string& path) {
  file_handle archive;
  if (open_regular_file(path.c_str(), &archive, true) != regular_file::opened) return file_handle();
  return archive;
}

int report_key(const std::string& path, std::FILE* out) {
  file_handle archive = open_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  unsigned char head[4];
  if (std::fread(head, 1, sizeof head, archive.get()) != sizeof head) {
    return fail(out, msg_cannot_read_key, path);
  }
  archive.close();
  const bool is_ar = head[0] == 'A' && head[1] == 'R';
  std::fprintf(out, is_ar ? msg_key_ar : msg_key_other, e_grave_for(out).c_str(),
               static_cast<unsigned>(head[2] | head[3] << 8));
  return succeed(out);
}

int report_extraction(int status, std::FILE* out) {
  switch (status) {
    case reader_status::ok:
      return succeed(out);
    case reader_status::wrong_format:
      return fail(out, msg_unknown_format);
    case reader_status::bad_archive:
      return fail(out, msg_read_error);
    default:
      // The reader has begun the line in the log.
      std::fputs(failure_tail, out);
      return 1;
  }
}

// -l and -t: the AR format first, then the DL format on the same stream.
int list_or_test(const std::string& path, bool test, std::FILE* out) {
  file_handle archive = open_regular_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  std::uint32_t damaged = 0;
  int status = test ? test_ar_archive(archive.get(), out, &damaged)
                    : list_ar_archive(archive.get(), out);
  if (status == reader_status::wrong_format) {
    status = test ? test_dl_archive(archive.get(), out, &damaged)
                  : list_dl_archive(archive.get(), out);
  }
  archive.close();
  if (status == reader_status::ok && damaged != 0) {
    return fail(out, msg_damaged, std::to_string(damaged));
  }
  return report_extraction(status, out);
}

// Creates the destination when missing (one level) and enters it, saving
// the current directory. nullptr, or the failure line's first half.
const char* enter_destination(const std::string& destination, std::string* saved_directory) {
  if (!get_current_directory(saved_directory)) return msg_no_current_dir;
  make_directory(destination.c_str());  // an existing directory is fine
  if (!change_directory(destination.c_str())) return msg_cannot_enter_dest;
  return nullptr;
}

int extract(std::span<const std::string> operands, bool lz_only, std::FILE* out) {
  const std::string& path = operands[0];
  file_handle archive = open_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  const bool has_destination = operands.size() > 1;
  std::string saved_directory;
  if (has_destination) {
    if (const char* failure = enter_destination(operands[1], &saved_directory)) {
      return fail(out, failure);
    }
  }
  int status = lz_only ? extract_dl_archive(archive.get(), out, true)
                       : extract_ar_archive(archive.get(), out);
  if (!lz_only && status == reader_status::wrong_format) {
    status = extract_dl_archive(archive.get(), out, false);
  }
  archive.close();
  if (has_destination) change_directory(saved_directory.c_str());
  return report_extraction(status, out);
}

// The walk of -x and -p that matches every NAME before anything is written:
// the AR format first, then DL. *is_ar tells which format the archive has.
// totals: the entries chosen, when wanted.
int select_entries(std::FILE* archive, name_selection* selection, bool* is_ar,
                   selection_totals* totals = nullptr) {
  *is_ar = true;
  int status = select_ar_entries(archive, selection, totals);
  if (status == reader_status::wrong_format) {
    *is_ar = false;
    if (totals != nullptr) *totals = {};
    status = select_dl_entries(archive, selection, totals);
  }
  return status;
}

// typed: the NAMEs as typed, of which patterns (the selection's) are the
// stored forms; an unmatched one is shown as typed.
int report_selection(int status, const name_selection& selection,
                     std::span<const std::string> typed, const std::vector<std::string>& patterns,
                     std::FILE* out) {
  if (status == reader_status::name_not_found) {
    const auto index = static_cast<std::size_t>(selection.unmatched() - patterns.data());
    return fail(out, msg_name_not_found, typed[index]);
  }
  return report_extraction(status, out);
}

// The NAMEs of -x and -p in the stored names' code page, which the entries'
// names are compared in; one without a form there stays as typed and
// matches no entry that has one.
std::vector<std::string> stored_patterns(std::span<const std::string> typed) {
  std::vector<std::string> patterns(typed.size());
  for (std::size_t i = 0; i < typed.size(); ++i) {
    if (!file_to_stored_name(typed[i], &patterns[i])) patterns[i] = typed[i];
  }
  return patterns;
}

// -x: the entries the NAMEs choose (every entry without NAMEs), readable,
// into the destination; a name that is taken there is left alone.
int extract_readable(std::span<const std::string> operands, std::FILE* out) {
  const std::string& path = operands[0];
  file_handle archive = open_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  const std::vector<std::string> patterns = stored_patterns(operands.subspan(2));
  name_selection selection(patterns);
  bool is_ar = true;
  selection_totals totals;
  int status = select_entries(archive.get(), &selection, &is_ar, &totals);
  if (status != reader_status::ok) {
    return report_selection(status, selection, operands.subspan(2), patterns, out);
  }
  std::string saved_directory;
  if (const char* failure = enter_destination(operands[1], &saved_directory)) {
    return fail(out, failure);
  }
  progress_line progress(is_terminal(out) ? out : nullptr, totals);
  status = is_ar ? extract_ar_entries(archive.get(), out, &selection, &progress)
                 : extract_dl_entries(archive.get(), out, &selection, &progress);
  progress.erase();
  archive.close();
  change_directory(saved_directory.c_str());
  return report_extraction(status, out);
}

// -p: the readable bytes of the chosen entries on out, which carries
// nothing else; failure lines go to err. A closed pipe ends the run without
// a line: the reader has gone, and no one wants to hear why.
int print_entries(std::span<const std::string> operands, std::FILE* out, std::FILE* err) {
  const std::string& path = operands[0];
  file_handle archive = open_archive(path);
  if (!archive) return fail(err, msg_cannot_open, path);
  const std::vector<std::string> patterns = stored_patterns(operands.subspan(1));
  name_selection selection(patterns);
  bool is_ar = true;
  int status = select_entries(archive.get(), &selection, &is_ar);
  if (status != reader_status::ok) {
    return report_selection(status, selection, operands.subspan(1), patterns, err);
  }
  use_binary_mode(out);
  errno = 0;
  status = is_ar ? print_ar_entries(archive.get(), out, err, &selection)
                 : print_dl_entries(archive.get(), out, err, &selection);
  // The last bytes may still wait in the stream's buffer.
  if (status == reader_status::ok && std::fflush(out) != 0) status = reader_status::cannot_write;
  const bool closed_pipe = status == reader_status::cannot_write && is_closed_pipe(out, errno);
  if (status == reader_status::ok) return 0;
  if (status == reader_status::cannot_write) {
    return closed_pipe ? 1 : fail(err, msg_cannot_write_output);
  }
  return report_extraction(status, err);
}

// -lj: the listing as one JSON document, printed only when the whole
// directory can be read.
int list_json(const std::string& path, std::FILE* out) {
  file_handle archive = open_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  int status = list_ar_archive_json(archive.get(), out);
  if (status == reader_status::wrong_format) status = list_dl_archive_json(archive.get(), out);
  archive.close();
  return status == reader_status::ok ? 0 : report_extraction(status, out);
}

// scratch_dir: where -cdz keeps the entries it compresses ahead of their
// turn. -cdz, which can take long, shows its progress on a terminal.
int write_archive(operation op, std::FILE* archive, const std::vector<const char*>& files,
                  std::uint16_t key, std::string_view scratch_dir, std::FILE* out) {
  const auto count = static_cast<std::uint32_t>(files.size());
  if (op == operation::create_dl_lz) {
    // The input sizes are looked up for the line only where it is drawn.
    std::FILE* terminal = is_terminal(out) ? out : nullptr;
    const std::uint64_t total =
        terminal == nullptr
            ? 0
            : known_input_bytes(files.data(), count, [](std::uint64_t n) { return n; });
    // Off a terminal no step is counted at all: each costs a look at a file.
    progress_line progress(terminal, count, total);
    return create_dl_archive(archive, files.data(), count, true, scratch_dir,
                             terminal != nullptr ? &progress : nullptr);
  }
  if (op == operation::create_dl) {
    return create_dl_archive(archive, files.data(), count);
  }
  return create_ar_archive(archive, files.data(), count, key);
}

int report_creation(operation op, int status, std::span<const std::string> operands,
                    const std::vector<const char*>& files, const std::string& path,
                    std::FILE* out) {
  if (status == writer_status::ok) {
    // -cdz says which names it cut; the other creations print the banner only.
    if (op == operation::create_dl_lz) log_dl_cut_names(out, operands);
    return succeed(out);
  }
  const auto input = static_cast<std::size_t>(status - writer_status::first_input);
  if (status >= writer_status::first_input && input < files.size()) {
    return fail(out, msg_cannot_read, files[input]);
  }
  return fail(out, msg_cannot_write, path);
}

// A forgotten operand must not turn a file into an archive: a regular file
// that is not empty and begins with neither signature is never replaced.
// One that cannot be read is left to the checks of any other file.
bool holds_no_archive(const std::string& target) {
  file_handle file;
  unsigned char first = 0;
  if (open_regular_file(target.c_str(), &file) != regular_file::opened ||
      std::fread(&first, 1, 1, file.get()) != 1) {
    return false;
  }
  return !starts_with_ar_signature(file.get()) && !starts_with_dl_signature(file.get());
}

// Builds the archive as a temporary file beside the file it replaces and
// gives it the name only when complete, so a failed creation leaves neither
// a partial archive nor a damaged earlier file. A symbolic link keeps
// pointing where it did: the file at its end is replaced. A device or FIFO
// is written in place, as it cannot be replaced, and never removed.
int create(operation op, std::span<const std::string> operands, std::FILE* out) {
  const bool keyed = op == operation::create_ar_key;
  const std::uint16_t key = keyed ? parse_key(operands[0].c_str()) : 0;
  const std::string& path = operands[keyed ? 1 : 0];
  const auto file_operands = operands.subspan(keyed ? 2 : 1);
  std::vector<const char*> files;
  for (const std::string& file : file_operands) files.push_back(file.c_str());
  // A file whose name the archive cannot store exactly fails the creation
  // before anything is written.
  std::string stored;
  for (const char* file : files) {
    if (!stored_entry_name(file, &stored)) return fail(out, msg_cannot_read, file);
  }

  std::string target = path;
  if (!resolve_symbolic_links(&target)) return fail(out, msg_cannot_create, path);
  const existing_file previous = inspect_existing_file(target.c_str(), nullptr);
  if (previous.kind == file_kind::regular && holds_no_archive(target)) {
    return fail(out, msg_not_archive, path);
  }
  name_clash clash;
  const bool dl = op == operation::create_dl || op == operation::create_dl_lz;
  if (dl ? find_dl_name_clash(file_operands, &clash) : find_ar_name_clash(file_operands, &clash)) {
    log_name_clash(out, file_operands, clash);
    std::fputs(failure_tail, out);
    return 1;
  }
  if (previous.kind == file_kind::special) {
    file_handle archive(open_special_file(target.c_str(), previous));
    if (!archive) return fail(out, msg_cannot_create, path);
    // Scratch files go to the current directory, not among the devices.
    int status = write_archive(op, archive.get(), files, key, {}, out);
    if (!archive.close() && status == writer_status::ok) status = writer_status::archive_failed;
    return report_creation(op, status, file_operands, files, path, out);
  }
  temporary_file archive;
  if (!may_replace(previous) || !archive.open(directory_prefix(target))) {
    return fail(out, msg_cannot_create, path);
  }
  int status = write_archive(op, archive.stream(), files, key, directory_prefix(target), out);
  if (status == writer_status::ok) {
    switch (archive.commit(target.c_str(), previous)) {
      case temporary_file::commit_result::committed:
        break;
      case temporary_file::commit_result::lost_data:
        status = writer_status::archive_failed;
        break;
      default:
        return fail(out, msg_cannot_create, path);
    }
  }
  return report_creation(op, status, file_operands, files, path, out);
}

int report_rebuild(int status, const std::string& path, std::FILE* out) {
  switch (status) {
    case rebuild_status::cannot_read:
    case rebuild_status::cannot_read_file:
      // The routine has begun the line in the log.
      std::fputs(failure_tail, out);
      return 1;
    case rebuild_status::archive_failed:
      return fail(out, msg_cannot_write, path);
    default:
      return report_extraction(status, out);
  }
}

// The new archive of -u, -a, -az and -d: a temporary file beside the
// regular file the archive path leads to (through symbolic links), which
// replaces that very file only when complete.
class archive_replacement {
 public:
  // False when the archive is no regular file kesto may replace, or no
  // temporary file can be made beside it.
  bool start(const std::string& path) {
    target_ = path;
    if (!resolve_symbolic_links(&target_)) return false;
    previous_ = inspect_existing_file(target_.c_str(), nullptr);
    if (previous_.kind != file_kind::regular || !may_replace(previous_) ||
        !file_.open(directory_prefix(target_))) {
      return false;
    }
    // Kept entries are mostly small: their copies gather in a buffer
    // rather than each taking a write.
    use_buffer(file_.stream(), buffer_.data());
    return true;
  }
  std::FILE* stream() const { return file_.stream(); }
  std::string_view directory() const { return directory_prefix(target_); }
  // Gives the new archive the name, and reports: the banner, or the line
  // for what failed.
  int finish(const std::string& path, std::FILE* out) {
    switch (file_.commit(target_.c_str(), previous_)) {
      case temporary_file::commit_result::committed:
        return succeed(out);
      case temporary_file::commit_result::lost_data:
        return fail(out, msg_cannot_write, path);
      default:
        return fail(out, msg_cannot_create, path);
    }
  }

 private:
  std::string target_;
  existing_file previous_;
  std::array<char, copy_chunk_size> buffer_;  // the stream's, so made before it
  temporary_file file_;
};

// The number and stored bytes of every entry of the archive, for the
// totals of a progress line.
selection_totals whole_archive_totals(std::FILE* archive) {
  selection_totals totals;
  name_selection every_entry({});
  bool is_ar = true;
  select_entries(archive, &every_entry, &is_ar, &totals);
  return totals;
}

// -u: the archive is read as -e reads it and rebuilt into a temporary file
// beside it, which replaces it only when complete, as a new archive does.
int rebuild(std::span<const std::string> operands, std::FILE* out) {
  const std::string& path = operands[0];
  const std::string& dir = operands[1];
  file_handle archive = open_regular_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  // Both passes read the entries in order, mostly small ones: a buffer
  // saves a seek and a read for each.
  std::array<char, copy_chunk_size> read_buffer;
  use_buffer(archive.get(), read_buffer.data());
  // Every file is reached from the directory opened here: no path is
  // joined, and the current directory stays as it is.
  directory_handle files;
  if (!files.open(dir.c_str())) return fail(out, msg_cannot_enter_dest);
  archive_replacement fresh;
  if (!fresh.start(path)) return fail(out, msg_cannot_create, path);
  // Both passes over the entries count toward the progress line, whose
  // totals take a walk of the directory only where it is drawn.
  std::FILE* terminal = is_terminal(out) ? out : nullptr;
  const selection_totals totals =
      terminal != nullptr ? whole_archive_totals(archive.get()) : selection_totals{};
  progress_line progress(terminal, 2 * totals.entries, 2 * totals.bytes);
  int status = rebuild_ar_archive(archive.get(), fresh.stream(), files, out, &progress);
  if (status == rebuild_status::wrong_format) {
    status = rebuild_dl_archive(archive.get(), fresh.stream(), files, out, &progress,
                                fresh.directory());
  }
  progress.erase();
  archive.close();
  // Nothing changed: the archive stays the very file it was.
  if (status == rebuild_status::unchanged) return succeed(out);
  if (status != rebuild_status::ok) return report_rebuild(status, path, out);
  return fresh.finish(path, out);
}

// -a, -az, -d: the archive is read as -e reads it and edited into a
// temporary file beside it, which replaces it only when complete. On a
// terminal the edit shows its progress.
int edit(operation op, std::span<const std::string> operands, std::FILE* out) {
  const std::string& path = operands[0];
  file_handle archive = open_regular_archive(path);
  if (!archive) return fail(out, msg_cannot_open, path);
  archive_replacement fresh;
  if (!fresh.start(path)) return fail(out, msg_cannot_create, path);
  const edit_kind kind = op == operation::remove ? edit_kind::remove
                         : op == operation::add_lz ? edit_kind::add_compressed
                                                   : edit_kind::add;
  // NAMEs of -d are compared in the stored names' code page; a FILE whose
  // name has no form there fails before the archive is read.
  std::vector<std::string> patterns;
  auto args = operands.subspan(1);
  if (op == operation::remove) {
    patterns = stored_patterns(args);
    args = patterns;
  } else {
    std::string stored;
    for (const std::string& file : args) {
      if (!stored_entry_name(file, &stored)) return fail(out, msg_cannot_read, file);
    }
  }
  // The progress line counts every entry of the archive and every FILE
  // (edit_progress), whose totals take a walk of the directory and a look
  // at each FILE only where it is drawn.
  std::FILE* terminal = is_terminal(out) ? out : nullptr;
  selection_totals totals;
  if (terminal != nullptr) {
    totals = whole_archive_totals(archive.get());
    if (op != operation::remove) edit_progress::count_files(args, &totals);
  }
  progress_line progress(terminal, totals);
  // Off a terminal no step is counted at all: a FILE's costs a look at it.
  progress_line* steps = terminal != nullptr ? &progress : nullptr;
  int status = edit_ar_archive(archive.get(), fresh.stream(), kind, args, out, steps);
  if (status == rebuild_status::wrong_format) {
    status = edit_dl_archive(archive.get(), fresh.stream(), kind, args, out, fresh.directory(),
                             steps);
  }
  progress.erase();
  archive.close();
  if (status == edit_status::no_match || status == edit_status::names_clash) {
    std::fputs(failure_tail, out);  // the routine has begun the line
    return 1;
  }
  if (status != rebuild_status::ok) return report_rebuild(status, path, out);
  return fresh.finish(path, out);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool expands_wildcards(std::string_view option, std::size_t operand) {
  const std::string word(option);
  if (is_option(word, "-x")) return operand < 2;
  if (is_option(word, "-p") || is_option(word, "-d")) return operand < 1;
  return true;
}

std::uint16_t parse_key(const char* text) {
  while (is_space(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && hex_digit(text[2]) >= 0) text += 2;
  std::uint16_t value = 0;
  for (int d; (d = hex_digit(*text)) >= 0; ++text) {
    value = static_cast<std::uint16_t>(value * 16 + d);  // keeps the low 16 bits
  }
  return negative ? static_cast<std::uint16_t>(0u - value) : value;
}

int run_command_line(const std::vector<std::string>& all_words, std::FILE* out, std::FILE* err) {
  // A view, not a copy: creation may be given thousands of files.
  auto words = std::span<const std::string>(all_words);
  std::string_view code_page;
  if (!words.empty() && is_code_page_word(words[0], &code_page)) {
    // Chosen once, before any file is opened, for the whole run.
    const unsigned chosen = parse_code_page(code_page);
    if (chosen == 0 || !use_name_code_page(chosen)) {
      fail(out, msg_unknown_code_page, std::string(code_page));
      std::fflush(out);
      return 1;
    }
    words = words.subspan(1);
  } else {
    // Each run chooses for itself (a test or a fuzzer runs many).
    use_name_code_page(0);
  }
  const operation op = choose_operation(words);
  const auto operands = words.subspan(words.empty() ? 0 : 1);
  // Printed names are UTF-8 with a code page chosen, as is the key
  // report's letter on a terminal: a Windows console is given characters.
  // -p writes entry data there, which stays bytes.
  const bool console_text = (name_code_page() != 0 || op == operation::key_report) &&
                            op != operation::print && out == stdout && send_utf8_to_console(out);
  int code = 1;
  switch (op) {
    case operation::usage:
      std::fputs(usage_text, out);
      break;
    case operation::help:
      std::fputs(usage_text, out);
      for (const char* lines : more_operations) std::fputs(lines, out);
      code = 0;
      break;
    case operation::version:
      std::fputs(version_line, out);
      code = 0;
      break;
    case operation::key_report:
      code = report_key(operands[0], out);
      break;
    case operation::list:
    case operation::test:
      code = list_or_test(operands[0], op == operation::test, out);
      break;
    case operation::extract:
    case operation::extract_lz:
      code = extract(operands, op == operation::extract_lz, out);
      break;
    case operation::list_json:
      code = list_json(operands[0], out);
      break;
    case operation::extract_readable:
      code = extract_readable(operands, out);
      break;
    case operation::print:
      code = print_entries(operands, out, err);
      if (std::fflush(err) != 0) code = 1;
      break;
    case operation::create_ar:
    case operation::create_ar_key:
    case operation::create_dl:
    case operation::create_dl_lz:
      code = create(op, operands, out);
      break;
    case operation::rebuild:
      code = rebuild(operands, out);
      break;
    case operation::add:
    case operation::add_lz:
    case operation::remove:
      code = edit(op, operands, out);
      break;
  }
  // A report that could not be written is no success.
  if (std::fflush(out) != 0 || std::ferror(out)) code = 1;
  if (console_text) finish_console_text();
  return code;
}

}  // namespace kesto
