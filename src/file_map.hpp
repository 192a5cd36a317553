// Storing and finding files in a FileTimeMap.
#ifndef KELVODA_FILE_MAP_HPP_
#define KELVODA_FILE_MAP_HPP_

#include <cstdint>
#include <string_view>

#include "records.hpp"

// Stores `time` and `size` under `key` in `map`, replacing those of a key
// that is there already. The key's text is copied into the map's own
// storage.
void store_file_time(FileTimeMap& map, std::string_view key, std::int64_t time,
                     std::uint64_t size = 0);

// Returns the time stored under `key`, or nullptr when `map` lacks it.
const std::int64_t* find_file_time(const FileTimeMap& map,
                                   std::string_view key);

// Returns the file stored under `key`, or nullptr when `map` lacks it.
const FileTime* find_file(const FileTimeMap& map, std::string_view key);

#endif  // KELVODA_FILE_MAP_HPP_
