// Messages about the host. Paths are shown as the stream they go to shows
// them: unchanged, or with control characters made harmless on a terminal.
#include "messages.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "rel_path.hpp"

std::string quoted_form(std::string_view path) {
  std::string quoted = "\"";
  quoted.reserve(path.size() + 2);
  for (const char c : path) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + '"';
}

std::string join(const std::string& root, std::string_view rel) {
  return (std::filesystem::path(root) / rel).native();
}

void report_failure(Console& console, const std::string& action, int error) {
  status_count(console, Counted::FAILURE);
  say(console, Stream::ERR,
      "Fehler beim " + action + ": " + std::generic_category().message(error) +
          "\n");
}

std::string copying_action(const Console& console, const std::string& source,
                           const std::string& target) {
  return "Kopieren von " + shown(console, Stream::ERR, quoted_form(source)) +
         " nach " + shown(console, Stream::ERR, quoted_form(target));
}

std::string path_action(const Console& console, std::string_view what,
                        const std::string& path) {
  return std::string(what) + " " +
         shown(console, Stream::ERR, quoted_form(path));
}

void report_removed_file(Console& console, const std::string& path) {
  say(console, Stream::OUT,
      shown(console, Stream::OUT, path) + " wurde entfernt.\n");
  status_count(console, Counted::DELETED);
}

void report_taken(Console& console, const std::string& local_root,
                  const std::string& host_root, const DiffEntry& entry) {
  const std::string_view rel = entry.rel_path;
  const std::string_view taken = leading(rel, entry.taken_at);
  if (taken.size() == rel.size()) {
    report_failure(
        console,
        copying_action(console, join(local_root, rel), join(host_root, rel)),
        EEXIST);
    return;
  }
  report_failure(console,
                 path_action(console, "Erstellen des Verzeichnisses",
                             join(host_root, taken)),
                 EEXIST);
}

void report_moved_root(Console& console, std::string_view tree,
                       const std::string& root, std::string_view outcome) {
  status_count(console, Counted::FAILURE);
  say(console, Stream::ERR,
      "kelvoda ERROR: " + std::string(tree) + " " +
          shown(console, Stream::ERR, quoted_form(root)) +
          " ist nicht mehr das durchsuchte (ausgehängt oder getauscht); " +
          std::string(outcome) + "\n\n");
}

void report_renamed(Console& console, const std::string& path,
                    std::string_view name) {
  say(console, Stream::OUT,
      shown(console, Stream::OUT, path) + " wurde in " +
          shown(console, Stream::OUT, name) + " umbenannt.\n");
  status_count(console, Counted::RENAMED);
}

void report_removed_folder(Console& console, const std::string& path) {
  say(console, Stream::OUT,
      "Ordner " + shown(console, Stream::OUT, quoted_form(path)) +
          " wurde entfernt\n");
  status_count(console, Counted::FOLDER_REMOVED);
}
