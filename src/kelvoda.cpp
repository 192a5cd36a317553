// kelvoda's entry point: reads the command line and runs scan, comparison,
// report, confirmation and application in order.
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "apply.hpp"
#include "batch.hpp"
#include "compare.hpp"
#include "console.hpp"
#include "interrupt.hpp"
#include "marker.hpp"
#include "messages.hpp"
#include "pairing.hpp"
#include "records.hpp"
#include "report.hpp"
#include "roots.hpp"
#include "scan.hpp"

namespace {

constexpr std::string_view VERSION = "kelvoda 3.0, written by Tarvelin\n";

// Writes a command-line error to stderr; the caller returns 1.
int fail_command_line(std::string_view message) {
  std::cerr << "kelvoda ERROR: " + std::string(message) + "\n\n";
  return 1;
}

// Reads `text` as a whole base-10 signed 32-bit number: an optional "-",
// digits, nothing else. Returns false for anything else or on overflow.
bool parse_width(std::string_view text, std::int32_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// `text` without one trailing "/"; "/" itself stays the root.
std::string without_trailing_slash(std::string text) {
  if (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

// Deletions a run under -y makes without a person's word: any number up to
// this one, more only where they leave at least half of the host's files.
constexpr std::uint64_t UNATTENDED_DELETIONS = 10;

// Why a run under -y does not apply `result`, or "". A source disk that is
// not mounted shows up as an empty folder, or as a mount point holding a
// stray file; applying would wipe the backup.
std::string unattended_refusal(const CompareResult& result) {
  if (result.local_total == 0 && result.host_total > 0) {
    return "Das lokale Verzeichnis enthält keine Dateien; mit -y wird der Host "
           "nicht geleert (ohne -y bestätigen)";
  }
  if (result.deleted_count > UNATTENDED_DELETIONS &&
      result.deleted_count * 2 > result.host_total) {
    return "Der Abgleich würde " + std::to_string(result.deleted_count) +
           " von " + std::to_string(result.host_total) +
           " Dateien auf dem Host löschen; mit -y wird nicht mehr als die "
           "Hälfte gelöscht (ohne -y bestätigen)";
  }
  return "";
}

int fail_nested() {
  return fail_command_line("Die Verzeichnisse dürfen nicht ineinander liegen");
}

// What the command line asks for: `directories` once it was read through,
// or the exit status of a run that it already ended.
struct CommandLine {
  std::vector<std::string> directories = {};
  std::int32_t column_width = 0;  // of the report's path column
  bool assume_yes = false;
  int status = -1;  // -1: go on
};

// Reads the arguments in order; the first that ends the run decides, and
// usage comes only once all were read. The report's column is
// `column_width` unless a -c replaces it; the last -c counts.
CommandLine read_command_line(int argc, char** argv,
                              std::int32_t column_width) {
  CommandLine line{.column_width = column_width};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-v" || arg == "--version") {
      std::cout << std::string(VERSION) + "\n";
      return {.status = 0};
    }
    if (arg == "-y") {
      line.assume_yes = true;
      continue;
    }
    if (arg == "-c") {
      if (i + 1 == argc) {
        return {.status = fail_command_line("-c benötigt eine Zahl (5-300)")};
      }
      std::int32_t width = 0;
      if (!parse_width(argv[++i], width)) {
        return {.status =
                    fail_command_line("-c benötigt eine gültige Zahl (5-300)")};
      }
      if (width < 5 || width > 300) {
        return {.status = fail_command_line("Wertebereich für -c ist 5-300")};
      }
      line.column_width = width;
      continue;
    }
    if (!arg.empty() && arg[0] == '-') {
      return {.status =
                  fail_command_line("Unbekannte Option " + std::string(arg))};
    }
    line.directories.emplace_back(arg);
  }
  if (line.directories.size() != 2) {
    std::cerr << "Usage: kelvoda [-v] [-c 5-300] [-y] dir1 dir2\n\n";
    return {.status = 1};
  }
  return line;
}

enum class Answer { APPLY, CANCEL, END_OF_INPUT };

// Asks until a line begins with j, J, n or N, or stdin ends.
Answer ask_confirmation() {
  std::string answer;
  for (;;) {
    std::cout << "\nMöchten sie die anstehenden Aktionen durchführen (j/n)? ";
    if (!std::getline(std::cin, answer)) {
      return Answer::END_OF_INPUT;
    }
    if (answer.empty()) {
      std::cout << "Sie haben nichts eingegeben!\n";
      continue;
    }
    const int first = std::tolower(static_cast<unsigned char>(answer[0]));
    if (first == 'j') {
      return Answer::APPLY;
    }
    if (first == 'n') {
      return Answer::CANCEL;
    }
    std::cout << "Bitte nur (j)a oder (n)ein angeben!\n";
  }
}

// Runs what the command line `argv` asks for and returns the exit status:
// 0 when everything was done, 1 when nothing was changed, 2 when changes
// were applied but a single action failed.
int run(int argc, char** argv, Console& console) {
  const CommandLine line =
      read_command_line(argc, argv, default_column_width());
  if (line.status >= 0) {
    return line.status;
  }
  if (raise_open_files() < MIN_OPEN_FILES) {
    return fail_command_line(
        "Das Limit für offene Dateien (ulimit -n) ist zu klein; nötig sind "
        "mindestens " +
        std::to_string(MIN_OPEN_FILES));
  }
  const std::string local_root = without_trailing_slash(line.directories[0]);
  const std::string host_root = without_trailing_slash(line.directories[1]);
  if (roots_nest_by_path(local_root, host_root)) {
    return fail_nested();
  }
  RootWatches watches = watch_roots(local_root, host_root);
  const HeldRoots roots = hold_roots(local_root, host_root);
  install_interrupt_cleanup();
  Marker marker = make_marker(roots.host.get());
  const TreeScans scans = scan_both(local_root, host_root, console,
                                    &watches.host, &watches.local, roots);
  status_suspend(console);  // from the report until the answer
  // The marker below the local root: the host lies inside the local tree,
  // whatever view or spelling hides it.
  if (roots_nested(local_root, host_root, watches) ||
      holds_marker(marker, scans.local_run_entries)) {
    remove_marker(marker);
    return fail_nested();
  }
  CompareResult result = compare_dirs(scans.local, scans.host);
  plan_spellings(result, scans.local, scans.host,
                 look_up_on_host(host_root, roots.host),
                 host_names(marker, scans.host_run_entries));
  result.leftovers = leftovers(marker, scans.host_run_entries);
  remove_marker(marker);
  print_results(result, line.column_width, console);
  // Under -y nobody reads the report before the host changes; a person who
  // answers j may delete anything.
  if (line.assume_yes) {
    if (const std::string refusal = unattended_refusal(result);
        !refusal.empty()) {
      return fail_command_line(refusal);
    }
  }

  if (result.newer_count == 0 && result.deleted_count == 0 &&
      result.missing_count == 0 && result.renames.empty()) {
    std::cout << "\nKeine neueren oder fehlenden Dateien gefunden -> kein "
                 "Abgleich nötig.\n\n";
    return 0;
  }
  if (!line.assume_yes) {
    const Answer answer = ask_confirmation();
    if (answer != Answer::APPLY) {
      std::cout << "\nAktualisierung abgebrochen.\n\n";
      // A script that forgot -y must notice that nothing was applied.
      return answer == Answer::CANCEL ? 0 : 1;
    }
  }
  // The trees written must be the trees scanned: a disk unmounted or
  // swapped while the question waited changes nothing.
  if (const Moved moved = moved_root(roots, local_root, host_root);
      moved != Moved::NONE) {
    report_moved_root(console,
                      moved == Moved::LOCAL ? "Das lokale Verzeichnis"
                                            : "Das Host-Verzeichnis",
                      moved == Moved::LOCAL ? local_root : host_root,
                      "nichts wurde geändert");
    return 1;
  }
  status_resume(console);
  sync_different_files(result, local_root, host_root, roots, console);
  std::cout << "\n";
  // Each failure was reported as it happened; a script must see them too.
  return console.failures > 0 ? 2 : 0;
}

// The exit status of a run that ended with `status`: where a text could not
// be written (a full disk, a reader gone), 2 instead of 0, and the last line
// on stderr says so where stderr still works.
int exit_status(Console& console, int status) {
  if (output_complete(console)) {
    return status;
  }
  say(console, Stream::ERR,
      "kelvoda ERROR: Die Ausgabe konnte nicht vollständig geschrieben "
      "werden\n\n");
  return status == 0 ? 2 : status;
}

}  // namespace

int main(int argc, char** argv) {
  std::cout << std::unitbuf;
  Console console = open_console();
  return exit_status(console, run(argc, argv, console));
}
