// kelvoda's entry point: reads the command line and runs scan, comparison,
// report, confirmation and application in order.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "apply.hpp"
#include "compare.hpp"
#include "folders.hpp"
#include "records.hpp"
#include "report.hpp"
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

std::string without_trailing_slash(std::string text) {
  if (!text.empty() && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

// The identity of the folder `root` names, to watch for in the other
// tree's walk; the watch is marked seen when the identity can't be read, so
// that a run that cannot rule out nested trees stops.
FolderWatch watch_for(const std::string& root) {
  struct stat st {};
  if (stat(root.c_str(), &st) != 0) {
    return {0, 0, true};
  }
  return {st.st_dev, st.st_ino, false};
}

// The canonical path of `root`, or "" when it can't be formed.
std::string canonical_path(const std::string& root) {
  char* resolved = realpath(root.c_str(), nullptr);
  if (resolved == nullptr) {
    return {};
  }
  std::string path = resolved;
  std::free(resolved);
  return path;
}

// True when `inner` lies inside `outer` as a host that ignores letter case
// sees it. Some drivers number each spelling of a folder apart (exfat-fuse),
// so the identities of the roots can't tell; instead the canonical paths
// nest once folded, and the outer root continued with the inner root's
// remaining names is a folder. (On a host that tells case apart and holds
// both spellings, this refuses two trees that are in fact apart.)
bool nested_by_spelling(const std::string& outer, const std::string& inner) {
  const std::string outer_path = canonical_path(outer);
  const std::string inner_path = canonical_path(inner);
  if (outer_path.empty() || inner_path.empty()) {
    return false;
  }
  const std::string outer_folded = fold_key(outer_path);
  const std::string inner_folded = fold_key(inner_path);
  const std::size_t cut = outer_folded == "/" ? 1 : outer_folded.size() + 1;
  if (inner_folded.size() <= cut || !inner_folded.starts_with(outer_folded) ||
      inner_folded[cut - 1] != '/') {
    return false;
  }
  // Folding keeps the number of components; find the inner path's rest.
  const auto slashes = std::count(outer_path.begin(), outer_path.end(), '/') -
                       (outer_path == "/" ? 1 : 0);
  std::size_t rest = 0;
  for (auto seen = 0; seen <= slashes; ++rest) {
    seen += inner_path[rest] == '/' ? 1 : 0;
  }
  const std::string continued =
      (outer_path == "/" ? "" : outer_path) + "/" + inner_path.substr(rest);
  struct stat st {};
  return stat(continued.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when the walks saw one root inside the other, or, on one device, the
// roots nest by a spelling the host takes as the same; never for the same
// folder given twice.
bool roots_nested(const std::string& local_root, const FolderWatch& local_watch,
                  const std::string& host_root, const FolderWatch& host_watch) {
  const bool same_root = !host_watch.seen && !local_watch.seen &&
                         host_watch.dev == local_watch.dev &&
                         host_watch.ino == local_watch.ino;
  if (same_root) {
    return false;
  }
  if (host_watch.seen || local_watch.seen) {
    return true;
  }
  return host_watch.dev == local_watch.dev &&
         (nested_by_spelling(local_root, host_root) ||
          nested_by_spelling(host_root, local_root));
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

}  // namespace

int main(int argc, char** argv) {
  std::cout << std::unitbuf;
  Console console = open_console();

  bool assume_yes = false;
  std::vector<std::string> directories;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-v" || arg == "--version") {
      std::cout << std::string(VERSION) + "\n";
      return 0;
    }
    if (arg == "-y") {
      assume_yes = true;
      continue;
    }
    if (arg == "-c") {
      if (i + 1 == argc) {
        return fail_command_line("-c benötigt eine Zahl (5-300)");
      }
      std::int32_t width = 0;
      if (!parse_width(argv[++i], width)) {
        return fail_command_line("-c benötigt eine gültige Zahl (5-300)");
      }
      if (width < 5 || width > 300) {
        return fail_command_line("Wertebereich für -c ist 5-300");
      }
      left_width = width;
      continue;
    }
    if (!arg.empty() && arg[0] == '-') {
      return fail_command_line("Unbekannte Option " + std::string(arg));
    }
    directories.emplace_back(arg);
  }
  if (directories.size() != 2) {
    std::cerr << "Usage: kelvoda [-v] [-c 5-300] [-y] dir1 dir2\n\n";
    return 1;
  }
  const std::string local_root = without_trailing_slash(directories[0]);
  const std::string host_root = without_trailing_slash(directories[1]);

  // One tree inside the other would make the run delete the local tree's
  // own files from the host side, or copy the host into itself. Each walk
  // looks out for the other root by identity, which no spelling, link or
  // bind mount changes; the same folder twice is no nesting.
  FolderWatch host_watch = watch_for(host_root);
  FolderWatch local_watch = watch_for(local_root);
  const FileTimeMap local_map =
      scan_directory(local_root, console, Tree::LOCAL, &host_watch);
  const FileTimeMap host_map =
      scan_directory(host_root, console, Tree::HOST, &local_watch);
  status_suspend(console);  // from the report until the answer
  if (roots_nested(local_root, local_watch, host_root, host_watch)) {
    return fail_command_line(
        "Die Verzeichnisse dürfen nicht ineinander liegen");
  }
  const CompareResult result = compare_dirs(local_map, host_map);
  print_results(result, left_width);

  if (result.newer_count == 0 && result.deleted_count == 0 &&
      result.missing_count == 0) {
    std::cout << "\nKeine neueren oder fehlenden Dateien gefunden -> kein "
                 "Abgleich nötig.\n\n";
    return 0;
  }
  if (!assume_yes) {
    const Answer answer = ask_confirmation();
    if (answer != Answer::APPLY) {
      std::cout << "\nAktualisierung abgebrochen.\n\n";
      // A script that forgot -y must notice that nothing was applied.
      return answer == Answer::CANCEL ? 0 : 1;
    }
  }
  status_resume(console);
  sync_different_files(result.entries, local_root, host_root, console);
  std::cout << "\n";
  return 0;
}
