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
