// What the status line says: the part of the run it follows, the counts of
// each part, and the texts made of them.
#ifndef KELVODA_STATUS_HPP_
#define KELVODA_STATUS_HPP_

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>

#include "console.hpp"

// The part of the run the line follows.
enum class Phase { NONE, SCAN, APPLY, SYNC };
// The entry of the application under way.
enum class Doing { NOTHING, COPY, DELETE };

// One tree's scan, stored by the thread that walks it.
struct ScanCount {
  std::atomic<std::uint64_t> files = 0;
  std::atomic<std::uint64_t> folders = 0;
  std::atomic<bool> started = false;
};

// Bytes done at a point in time.
struct Sample {
  std::int64_t time = 0;
  std::uint64_t bytes = 0;
};

// The numbers of one application.
struct Applying {
  std::int64_t start = 0;
  std::uint64_t total_files = 0;
  std::uint64_t total_bytes = 0;
  std::uint64_t done_files = 0;
  std::uint64_t done_bytes = 0;  // of the entries already done
  Sample window_start;           // the rate is measured from here
  Sample window_middle;          // and from here once it is old enough
  Doing doing = Doing::NOTHING;
  std::string file_name = {};  // last name of the file being copied
  std::uint64_t file_size = 0;
  std::uint64_t file_bytes = 0;
  std::int64_t file_start = 0;
  std::array<std::uint64_t, 4> counted = {};  // by Counted
  std::uint64_t copied_bytes = 0;
};

// A run's status line. Two scans may store their counts at once; the rest
// is written by the thread that holds `drawing`, or by the one that applies.
struct StatusLine {
  Clock clock = nullptr;
  std::int32_t width = 80;
  int out_fd = -1;  // stdout, where it is on the line's terminal
  Phase phase = Phase::NONE;
  std::int64_t phase_start = 0;
  std::int64_t last_draw = std::numeric_limits<std::int64_t>::min() / 2;
  bool suspended = false;
  std::string text;  // as last drawn
  std::mutex drawing;
  std::array<ScanCount, 2> scans;             // by Tree
  std::atomic<Tree> last_tree = Tree::LOCAL;  // whose scan began last
  std::atomic<std::int64_t> scan_start = 0;
  // The tree that began first went on after the other began: both are shown.
  std::atomic<bool> both_trees = false;
  bool applied = false;  // the final line is still to come
  Applying apply;
};

// Returns the line's text at `now` in at most `columns`: the scan, the
// copies or deletions (with the current file's name and percentage once it
// has taken a second), or the sync. Moves the rate window on.
std::string status_text(StatusLine& line, std::int64_t now,
                        std::size_t columns);

// Returns the line that stays once the application is done: "Fertig: ",
// what was counted and the time since it began ("Fertig: 1.234 Dateien
// kopiert (12,3 GB), 56 gelöscht, 7 Ordner entfernt, 3 Fehler – 4:32
// min\n").
std::string final_text(const StatusLine& line, std::int64_t now);

#endif  // KELVODA_STATUS_HPP_
