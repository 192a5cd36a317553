// Pairing local names with host entries, against a host made up here that
// answers lookups as a case-insensitive file system would.
#include "pairing.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "compare.hpp"
#include "file_map.hpp"
#include "fold.hpp"
#include "gtest/gtest.h"

namespace {

// How the made-up host numbers its entries: for good, or each spelling
// apart (as exfat-fuse does); or it keeps names apart by case.
enum class Numbers { FOR_GOOD, PER_SPELLING, CASE_SENSITIVE };

// A file of a made-up tree: its path, time and size.
struct File {
  std::string path;
  std::int64_t time = 100;
  std::uint64_t size = 1;
};

FileTimeMap map_of(const std::vector<File>& files) {
  FileTimeMap map;
  for (const File& file : files) {
    store_file_time(map, file.path, file.time, file.size);
  }
  return map;
}

// Answers lookups from the host's files, matching each component by its
// folded name (or exactly), and counts the questions per folder and name.
struct FakeHost {
  std::vector<File> files;
  Numbers numbers = Numbers::FOR_GOOD;
  std::map<std::string, int> asked = {};

  bool same(const std::string& a, const std::string& b) const {
    return numbers == Numbers::CASE_SENSITIVE ? a == b
                                              : fold_name(a) == fold_name(b);
  }

  // The stored path that `path` lands on, or "".
  std::string land(const std::string& path, Kind& kind) const {
    for (const File& file : files) {
      std::string stored;
      std::size_t begin = 0;
      std::size_t at = 0;
      bool matches = true;
      while (matches && at <= path.size()) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        const std::size_t stored_end =
            std::min(file.path.find('/', begin), file.path.size());
        if (begin > file.path.size()) {
          matches = false;
          break;
        }
        matches = same(path.substr(at, end - at),
                       file.path.substr(begin, stored_end - begin));
        stored = file.path.substr(0, stored_end);
        at = end + 1;
        begin = stored_end + 1;
      }
      if (matches) {
        kind = stored.size() == file.path.size() ? Kind::REGULAR : Kind::FOLDER;
        return stored;
      }
    }
    return "";
  }

  LookUp look_up() {
    return [this](std::string_view folder, std::string_view name) {
      const std::string path =
          folder.empty() ? std::string(name)
                         : std::string(folder) + "/" + std::string(name);
      ++asked[path];
      Kind kind = Kind::NONE;
      const std::string stored = land(path, kind);
      if (stored.empty()) {
        return Found{};
      }
      const std::string& numbered =
          numbers == Numbers::PER_SPELLING ? path : stored;
      return Found{.kind = kind,
                   .dev = 1,
                   .ino = std::hash<std::string>{}(numbered),
                   .size = 1,
                   .mtime_ns = 0};
    };
  }
};

// One situation: both trees, the host's behaviour, and the plan as lines
// "RENAME <new path> <old name>" and "<kind> <path>[@taken_at][~wave]".
struct Case {
  const char* what;
  std::vector<File> local;
  std::vector<File> host;
  std::vector<std::string> plan;
  Numbers numbers = Numbers::FOR_GOOD;
  HostNames names = {};
  int questions = -1;  // lookups in all, where it matters
};

std::vector<std::string> plan_lines(const CompareResult& result) {
  std::vector<std::string> lines;
  for (const Rename& rename : result.renames) {
    lines.push_back("RENAME " + rename.rel_path + " " + rename.from);
  }
  for (const DiffEntry& entry : result.entries) {
    const char* kind = entry.type == NEWER      ? "NEWER"
                       : entry.type == MISSING  ? "MISSING"
                       : entry.type == DELETED  ? "DELETED"
                       : entry.type == TAKEN    ? "TAKEN"
                       : entry.type == REPLACED ? "REPLACED"
                                                : "?";
    std::string line = std::string(kind) + " " + entry.rel_path;
    if (entry.taken_at > 0) {
      line += "@" + std::to_string(entry.taken_at);
    }
    if (entry.wave > 0) {
      line += "~" + std::to_string(entry.wave);
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST(Pairing, HostEntriesUnderOtherSpellings) {
  // Each situation's plan; the host is asked at most once per folder and
  // name, and never about a file below a folder it has answered for.
  const std::vector<Case> cases = {
      {"file renamed in case, unchanged",
       {{"Report.txt", 100, 5}},
       {{"report.txt", 200, 5}},
       {"RENAME Report.txt report.txt"}},
      {"file renamed in case, the host's file another of an older date",
       {{"report.docx", 100, 7}},
       {{"Report.docx", 200, 5}},
       {"REPLACED report.docx"}},
      {"file renamed in case, newer",
       {{"report.docx", 300, 5}},
       {{"Report.docx", 200, 5}},
       {"NEWER report.docx"}},
      {"folder renamed in case: one rename, the files by name",
       {{"photos/1", 100}, {"photos/2", 300}, {"photos/3", 100}},
       {{"Photos/1", 200}, {"Photos/2", 200}, {"Photos/gone", 200}},
       {"RENAME photos Photos", "NEWER photos/2", "MISSING photos/3",
        "DELETED photos/gone"},
       Numbers::FOR_GOOD,
       {},
       2},
      {"folders and file renamed in case, each level once",
       {{"a/b/c", 100}, {"a/b/d", 100}},
       {{"A/B/C", 200}, {"A/B/d", 200}},
       {"RENAME a A", "RENAME a/b B", "RENAME a/b/c C"},
       Numbers::FOR_GOOD,
       {},
       3},
      {"two names, the first in byte order owns the host's file",
       {{"A.txt", 100, 1}, {"a.txt", 100, 2}},
       {{"a.txt", 200, 2}},
       {"REPLACED A.txt", "TAKEN a.txt@1"}},
      {"two names, the other newer than the host's file it lands on",
       {{"A.txt", 100, 1}, {"a.txt", 300, 2}},
       {{"a.txt", 200, 2}},
       {"REPLACED A.txt", "TAKEN a.txt@1"}},
      {"two names, the owner's copy on the host",
       {{"A.txt", 100, 1}, {"a.txt", 100, 2}},
       {{"A.txt", 200, 1}},
       {"TAKEN a.txt@1"}},
      {"the owner gone: the other name takes the host's file",
       {{"a.txt", 100, 2}},
       {{"A.txt", 200, 1}},
       {"REPLACED a.txt"}},
      {"a file beside a folder of the same name",
       {{"notes", 100}, {"NOTES/keep.txt", 300}},
       {{"NOTES/keep.txt", 200}},
       {"TAKEN notes@1", "NEWER NOTES/keep.txt"}},
      {"a folder beside a file of the same name, the file first",
       {{"NOTES", 100}, {"notes/keep.txt", 100}},
       {{"NOTES", 200}},
       {"TAKEN notes/keep.txt@1"}},
      {"two folders share the host's: files apart merge, the same name "
       "is the first's",
       {{"Proj/a", 100}, {"Proj/c", 100}, {"proj/b", 100}, {"proj/c", 100}},
       {{"Proj/a", 200}, {"Proj/c", 200}, {"Proj/b", 200}},
       {"TAKEN proj/c@2"}},
      {"the second folder's spelling on the host",
       {{"Proj/a", 100}, {"proj/b", 100}},
       {{"proj/b", 200}},
       {"RENAME Proj proj", "MISSING Proj/a"}},
      {"a local file in place of a host folder of another spelling",
       {{"notes", 100}},
       {{"Notes/a", 200}, {"Notes/b", 200}},
       {"MISSING notes", "DELETED notes/a", "DELETED notes/b"}},
      {"a local folder in place of a host file of another spelling",
       {{"notes/a", 100}},
       {{"Notes", 200}},
       {"MISSING notes/a", "DELETED notes"}},
      {"new names that may be one go in waves, the first in byte order "
       "first",
       {{"b.txt", 100}, {"a/1", 100}, {"B.txt", 100}, {"A/1", 100}},
       {},
       {"MISSING B.txt", "MISSING A/1", "MISSING b.txt~1", "MISSING a/1~1"}},
      {"a host that keeps case apart pairs nothing",
       {{"Report.txt", 100}, {"a/x", 100}},
       {{"report.txt", 200}, {"A/x", 200}},
       {"MISSING Report.txt", "MISSING a/x", "DELETED report.txt",
        "DELETED A/x"},
       Numbers::CASE_SENSITIVE,
       {.may_ignore_case = false}},
      {"spellings numbered apart",
       {{"Docs/a", 100}, {"Docs/b", 300}},
       {{"docs/a", 200}, {"docs/b", 200}},
       {"RENAME Docs docs", "NEWER Docs/b"},
       Numbers::PER_SPELLING},
      {"two host spellings that fold alike, numbered apart and alike: "
       "nothing is moved or deleted",
       {{"e\xCC\x81", 100}},
       {{"\xC3\xA9", 200}, {"E\xCC\x81", 200}},
       {"TAKEN e\xCC\x81@1"},
       Numbers::PER_SPELLING},
      {"a host that lists small letters: no rename, other sizes copied "
       "anew",
       {{"Dir/a", 100, 3}, {"b", 100, 2}},
       {{"dir/a", 200, 3}, {"b", 200, 1}},
       {"REPLACED b"},
       Numbers::FOR_GOOD,
       {.listed_otherwise = true}},
      {"Greek renamed in case",
       {{"νομος", 100}},
       {{"ΝΟΜΟΣ", 200}},
       {"RENAME νομος ΝΟΜΟΣ"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host{.files = c.host, .numbers = c.numbers};
    const FileTimeMap local_map = map_of(c.local);
    const FileTimeMap host_map = map_of(c.host);
    CompareResult result = compare_dirs(local_map, host_map);
    const std::uint64_t local_total = result.local_total;
    plan_spellings(result, local_map, host_map, host.look_up(), c.names);
    EXPECT_EQ(plan_lines(result), c.plan);
    int questions = 0;
    for (const auto& [path, count] : host.asked) {
      EXPECT_EQ(count, 1) << path;
      questions += count;
    }
    if (c.questions >= 0) {
      EXPECT_EQ(questions, c.questions);
    }
    EXPECT_EQ(
        result.unchanged_count + result.newer_count + result.missing_count,
        local_total);
  }
}
