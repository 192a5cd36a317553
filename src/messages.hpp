// The lines a run prints about what it does to the host and what failed,
// each text written in one place.
#ifndef KELVODA_MESSAGES_HPP_
#define KELVODA_MESSAGES_HPP_

#include <string>
#include <string_view>

#include "console.hpp"
#include "records.hpp"

// `path` in double quotes, with a backslash before each '"' and '\'.
std::string quoted_form(std::string_view path);

// `root` joined with the relative path `rel`.
std::string join(const std::string& root, std::string_view rel);

// Writes "Fehler beim <action>: <system text>" to stderr and counts the
// failure; the run goes on. `action` already holds its path as shown.
void report_failure(Console& console, const std::string& action, int error);

// The action of a failed copy from `source` to `target`, for
// report_failure.
std::string copying_action(const Console& console, const std::string& source,
                           const std::string& target);

// The action of a failed step named `what` ("Löschen von") on `path`.
std::string path_action(const Console& console, std::string_view what,
                        const std::string& path);

// Writes "<path> wurde entfernt." on stdout and counts the deletion.
void report_removed_file(Console& console, const std::string& path);

// Writes the failure of the TAKEN `entry` (a copy from `local_root` to
// `host_root`) with EEXIST, naming the file, or the folder on its path,
// whose name the host gives to another; counts it.
void report_taken(Console& console, const std::string& local_root,
                  const std::string& host_root, const DiffEntry& entry);

// Writes "kelvoda ERROR: <tree> <root quoted> ist nicht mehr das
// durchsuchte (ausgehängt oder getauscht); <outcome>" on stderr, for a root
// whose path names another folder than the one walked, and counts it as a
// failure.
void report_moved_root(Console& console, std::string_view tree,
                       const std::string& root, std::string_view outcome);

// Writes "<path> wurde in <name> umbenannt." on stdout and counts it.
void report_renamed(Console& console, const std::string& path,
                    std::string_view name);

// Writes "Ordner <path quoted> wurde entfernt" on stdout and counts it.
void report_removed_folder(Console& console, const std::string& path);

#endif  // KELVODA_MESSAGES_HPP_
