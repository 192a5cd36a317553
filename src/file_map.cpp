// A flat hash map for the scanner's files: entries in one array in the order
// they were stored, an array of 32-bit slots indexing them, and the key texts
// packed into large blocks. A million files then cost little more than their
// path texts, and both trees are compared and mirrored in walk order, which
// keeps the copies of one folder together.
#include "file_map.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

namespace {

constexpr std::size_t ARENA_BLOCK_SIZE = std::size_t{256} * 1024;
constexpr std::size_t FIRST_SLOT_COUNT = 1024;

std::size_t hash_key(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

// The slot that holds `key`, or the free slot where it belongs.
std::size_t find_slot(const FileTimeMap& map, std::string_view key,
                      std::size_t hash) {
  const std::size_t mask = map.slots.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t index = map.slots[slot];
    if (index == 0 || map.files[index - 1].key == key) {
      return slot;
    }
  }
}

void grow_slots(FileTimeMap& map) {
  const std::size_t count =
      map.slots.empty() ? FIRST_SLOT_COUNT : map.slots.size() * 2;
  map.slots.assign(count, 0);
  const std::size_t mask = count - 1;
  for (std::size_t index = 0; index < map.files.size(); ++index) {
    std::size_t slot = hash_key(map.files[index].key) & mask;
    while (map.slots[slot] != 0) {
      slot = (slot + 1) & mask;
    }
    map.slots[slot] = static_cast<std::uint32_t>(index + 1);
  }
}

std::string_view copy_into_arena(KeyArena& arena, std::string_view key) {
  if (arena.capacity - arena.used < key.size()) {
    arena.capacity = std::max(ARENA_BLOCK_SIZE, key.size());
    arena.blocks.push_back(
        std::make_unique_for_overwrite<char[]>(arena.capacity));
    arena.used = 0;
  }
  char* text = arena.blocks.back().get() + arena.used;
  std::memcpy(text, key.data(), key.size());
  arena.used += key.size();
  return {text, key.size()};
}

// Puts the files of `map` in the order `order` gives, which it uses up.
void arrange_files(FileTimeMap& map, std::vector<std::uint32_t>& order) {
  // Each cycle of the permutation is moved round once, with one file held
  // aside; a place done points at itself.
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) {
      continue;
    }
    const FileTime held = map.files[start];
    std::size_t place = start;
    for (;;) {
      const std::size_t from = order[place];
      order[place] = static_cast<std::uint32_t>(place);
      if (from == start) {
        map.files[place] = held;
        break;
      }
      map.files[place] = map.files[from];
      place = from;
    }
  }
}

}  // namespace

void store_file_time(FileTimeMap& map, std::string_view key, std::int64_t time,
                     std::uint64_t size) {
  if ((map.files.size() + 1) * 2 > map.slots.size()) {
    grow_slots(map);
  }
  const std::size_t slot = find_slot(map, key, hash_key(key));
  if (map.slots[slot] != 0) {
    map.files[map.slots[slot] - 1].time = time;
    map.files[map.slots[slot] - 1].size = size;
    return;
  }
  map.files.push_back({copy_into_arena(map.arena, key), time, size});
  map.slots[slot] = static_cast<std::uint32_t>(map.files.size());
}

void append_file_time(FileTimeMap& map, std::string_view key, std::int64_t time,
                      std::uint64_t size) {
  map.files.push_back({copy_into_arena(map.arena, key), time, size});
}

std::size_t index_size(std::size_t count) {
  // As large as storing the files one by one would have grown it.
  std::size_t size = count == 0 ? 0 : FIRST_SLOT_COUNT;
  while (size < count * 2) {
    size *= 2;
  }
  return size;
}

void index_file_times(FileTimeMap& map, std::vector<std::uint32_t> order) {
  if (!order.empty()) {
    arrange_files(map, order);
  }
  // The index reuses the order's memory: no second array of that size is
  // held while the files are arranged.
  map.slots = std::move(order);
  map.slots.assign(index_size(map.files.size()), 0);
  std::size_t kept = 0;
  for (const FileTime& file : map.files) {
    const std::size_t slot = find_slot(map, file.key, hash_key(file.key));
    if (map.slots[slot] != 0) {
      FileTime& first = map.files[map.slots[slot] - 1];
      first.time = file.time;
      first.size = file.size;
      continue;
    }
    map.files[kept] = file;
    map.slots[slot] = static_cast<std::uint32_t>(++kept);
  }
  map.files.resize(kept);
}

const std::int64_t* find_file_time(const FileTimeMap& map,
                                   std::string_view key) {
  const FileTime* file = find_file(map, key);
  return file == nullptr ? nullptr : &file->time;
}

const FileTime* find_file(const FileTimeMap& map, std::string_view key) {
  if (map.slots.empty()) {
    return nullptr;
  }
  const std::uint32_t index = map.slots[find_slot(map, key, hash_key(key))];
  return index == 0 ? nullptr : &map.files[index - 1];
}
