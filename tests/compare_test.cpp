// Tests of the comparison of two FileTimeMaps.
#include "compare.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "file_map.hpp"
#include "gtest/gtest.h"

namespace {

FileTimeMap make_map(
    std::initializer_list<std::pair<const char*, std::int64_t>> files) {
  FileTimeMap map;
  for (const auto& [key, time] : files) {
    store_file_time(map, key, time);
  }
  return map;
}

std::set<std::pair<std::string, DiffType>> entry_set(
    const CompareResult& result) {
  std::set<std::pair<std::string, DiffType>> entries;
  for (const DiffEntry& entry : result.entries) {
    entries.emplace(entry.rel_path, entry.type);
  }
  return entries;
}

// The invariants every result must keep, whatever the maps held.
void expect_invariants(const CompareResult& result) {
  EXPECT_EQ(result.local_total,
            result.unchanged_count + result.newer_count + result.missing_count);
  EXPECT_EQ(result.host_total,
            result.unchanged_count + result.newer_count + result.deleted_count);
  EXPECT_EQ(entry_set(result).size(), result.entries.size());
  auto count = [&](DiffType type) {
    return static_cast<std::uint64_t>(std::count_if(
        result.entries.begin(), result.entries.end(),
        [&](const DiffEntry& entry) { return entry.type == type; }));
  };
  EXPECT_EQ(count(NEWER), result.newer_count);
  EXPECT_EQ(count(MISSING), result.missing_count);
  EXPECT_EQ(count(DELETED), result.deleted_count);
  auto first_deletion = std::find_if(
      result.entries.begin(), result.entries.end(),
      [](const DiffEntry& entry) { return entry.type == DELETED; });
  EXPECT_TRUE(std::all_of(
      first_deletion, result.entries.end(),
      [](const DiffEntry& entry) { return entry.type == DELETED; }));
}

}  // namespace

// Two empty maps: nothing pending and six zero counters.
TEST(Compare, EmptyMapsGiveEmptyResult) {
  const CompareResult result = compare_dirs(make_map({}), make_map({}));
  EXPECT_TRUE(result.entries.empty());
  EXPECT_EQ(result.local_total + result.host_total + result.unchanged_count +
                result.newer_count + result.deleted_count +
                result.missing_count,
            0u);
}

// Only a strictly greater local time is newer; the comparison is signed.
TEST(Compare, TimesCompareAsSignedSeconds) {
  struct Case {
    std::int64_t local_time, host_time;
    bool newer;
  } cases[] = {{100, 99, true},
               {99, 100, false},
               {5, 5, false},
               {-5, 3, false},
               {3, -5, true},
               {-1, -2, true},
               {INT64_MAX, INT64_MIN, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.local_time) + " vs " +
                 std::to_string(c.host_time));
    const CompareResult result = compare_dirs(make_map({{"f", c.local_time}}),
                                              make_map({{"f", c.host_time}}));
    expect_invariants(result);
    EXPECT_EQ(result.newer_count, c.newer ? 1u : 0u);
    EXPECT_EQ(result.unchanged_count, c.newer ? 0u : 1u);
    if (c.newer) {
      EXPECT_EQ(entry_set(result), (decltype(entry_set(result)){{"f", NEWER}}));
    }
  }
}

// Keys match byte for byte: a difference in letter case is a different file.
TEST(Compare, KeysAreCaseSensitive) {
  const CompareResult result = compare_dirs(make_map({{"docs/A.txt", 1}}),
                                            make_map({{"docs/a.txt", 1}}));
  expect_invariants(result);
  ASSERT_EQ(result.entries.size(), 2u);
  EXPECT_EQ(result.entries[0].rel_path, "docs/A.txt");
  EXPECT_EQ(result.entries[0].type, MISSING);
  EXPECT_EQ(result.entries[1].rel_path, "docs/a.txt");
  EXPECT_EQ(result.entries[1].type, DELETED);
}

// Three local keys, two host keys, one shared: the counters and the order.
TEST(Compare, CountsAndOrdersMixedTrees) {
  const CompareResult result =
      compare_dirs(make_map({{"same", 7}, {"new1", 1}, {"new2", 2}}),
                   make_map({{"same", 7}, {"gone", 3}}));
  expect_invariants(result);
  EXPECT_EQ(result.local_total, 3u);
  EXPECT_EQ(result.host_total, 2u);
  EXPECT_EQ(result.unchanged_count, 1u);
  EXPECT_EQ(result.missing_count, 2u);
  EXPECT_EQ(result.deleted_count, 1u);
  EXPECT_EQ(result.newer_count, 0u);
  ASSERT_EQ(result.entries.size(), 3u);
  EXPECT_EQ(result.entries[2].rel_path, "gone");
}

// Deletions stand after every copy whatever the maps' orders; many keys make
// the hash orders of both maps interleave.
TEST(Compare, DeletionsFollowAllCopies) {
  FileTimeMap local_map;
  FileTimeMap host_map;
  for (int i = 0; i < 500; ++i) {
    const std::string key =
        "dir" + std::to_string(i % 7) + "/f" + std::to_string(i);
    if (i % 3 != 0) {
      store_file_time(local_map, key, i);
    }
    if (i % 2 == 0) {
      store_file_time(host_map, key, i % 4 == 0 ? i : i - 1);
    }
  }
  const CompareResult result = compare_dirs(local_map, host_map);
  expect_invariants(result);
  EXPECT_GT(result.newer_count, 0u);
  EXPECT_GT(result.missing_count, 0u);
  EXPECT_GT(result.deleted_count, 0u);
}

// Files appended out of order, then arranged and indexed, end as storing
// them in order leaves them: a key met twice at its first place, with its
// last time and size.
TEST(Compare, AppendedFilesEndAsStoredOnes) {
  const std::vector<std::tuple<std::string, std::int64_t, std::uint64_t>> due =
      {{"a", 1, 10}, {"b/c", 2, 20}, {"a", 3, 30},
       {"d", 4, 40}, {"b/c", 5, 50}, {"e", 6, 60}};
  FileTimeMap stored;
  FileTimeMap appended;
  std::vector<std::uint32_t> order;
  const std::size_t count = due.size();
  for (std::size_t place = 0; place < count; ++place) {
    const auto& [key, time, size] = due[place];
    store_file_time(stored, key, time, size);
    // Each place holds the file due two places on: cycles of three.
    const auto& [later_key, later_time, later_size] = due[(place + 2) % count];
    append_file_time(appended, later_key, later_time, later_size);
    order.push_back(static_cast<std::uint32_t>((place + count - 2) % count));
  }
  index_file_times(appended, order);
  ASSERT_EQ(appended.files.size(), stored.files.size());
  for (std::size_t place = 0; place < stored.files.size(); ++place) {
    const FileTime& file = appended.files[place];
    EXPECT_EQ(file.key, stored.files[place].key);
    EXPECT_EQ(file.time, stored.files[place].time);
    EXPECT_EQ(file.size, stored.files[place].size);
    EXPECT_EQ(*find_file_time(appended, file.key), file.time);
  }
}

// Storing a key twice keeps one entry with the last time, and keys survive
// moving the map and filling several storage blocks.
TEST(Compare, StoredKeysStayValid) {
  FileTimeMap map;
  store_file_time(map, "a", 1);
  store_file_time(map, "a", 2);
  const std::string long_key(300000, 'x');
  store_file_time(map, long_key, 3);
  for (int i = 0; i < 20000; ++i) {
    store_file_time(map, "some/longer/path/name" + std::to_string(i), i);
  }
  FileTimeMap moved = std::move(map);
  EXPECT_EQ(moved.files.size(), 20002u);
  EXPECT_EQ(*find_file_time(moved, "a"), 2);
  EXPECT_EQ(*find_file_time(moved, long_key), 3);
  EXPECT_EQ(*find_file_time(moved, "some/longer/path/name19999"), 19999);
  EXPECT_EQ(find_file_time(moved, "some/longer/path/name20000"), nullptr);
  EXPECT_EQ(find_file_time(FileTimeMap(), "a"), nullptr);
}
