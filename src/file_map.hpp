// Storing and finding files in a FileTimeMap.
#ifndef KELVODA_FILE_MAP_HPP_
#define KELVODA_FILE_MAP_HPP_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "records.hpp"

// Stores `time` and `size` under `key` in `map`, replacing those of a key
// that is there already. The key's text is copied into the map's own
// storage.
void store_file_time(FileTimeMap& map, std::string_view key, std::int64_t time,
                     std::uint64_t size = 0);

// Adds `key` with `time` and `size` at the end of `map.files` without
// looking for it, the key's text copied into the map's own storage. The map
// can't be searched until index_file_times has run.
void append_file_time(FileTimeMap& map, std::string_view key, std::int64_t time,
                      std::uint64_t size);

// Returns the places the index of a map of `count` files takes.
std::size_t index_size(std::size_t count);

// Builds the index of the files appended to `map`. Where `order` is given,
// first puts the files in its order: place i gets the file that was at place
// `order[i]`, and every place is named once. A key appended more than once
// keeps its first place and its last time and size, as store_file_time
// would have left it. The index takes over the memory of `order`, which
// therefore best holds index_size places.
void index_file_times(FileTimeMap& map, std::vector<std::uint32_t> order = {});

// Returns the time stored under `key`, or nullptr when `map` lacks it.
const std::int64_t* find_file_time(const FileTimeMap& map,
                                   std::string_view key);

// Returns the file stored under `key`, or nullptr when `map` lacks it.
const FileTime* find_file(const FileTimeMap& map, std::string_view key);

#endif  // KELVODA_FILE_MAP_HPP_
