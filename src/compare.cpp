// Two passes over the maps, one hash lookup per key.
#include "compare.hpp"

#include "file_map.hpp"

CompareResult compare_dirs(const FileTimeMap& local_map,
                           const FileTimeMap& host_map) {
  CompareResult result;
  result.local_total = local_map.files.size();
  result.host_total = host_map.files.size();

  for (const FileTime& local : local_map.files) {
    const std::int64_t* host_time = find_file_time(host_map, local.key);
    if (host_time == nullptr) {
      result.entries.push_back({.rel_path = std::string(local.key),
                                .type = MISSING,
                                .size = local.size,
                                .time = local.time});
      ++result.missing_count;
    } else if (local.time > *host_time) {
      result.entries.push_back({.rel_path = std::string(local.key),
                                .type = NEWER,
                                .size = local.size,
                                .time = local.time});
      ++result.newer_count;
    } else {
      ++result.unchanged_count;
    }
  }
  // Deletions come last, so every copy of a run is made before the first
  // deletion and pruning never removes a folder that is still to be filled.
  // When every host file had a local counterpart there is nothing to look
  // for.
  if (result.unchanged_count + result.newer_count == result.host_total) {
    return result;
  }
  for (const FileTime& host : host_map.files) {
    if (find_file_time(local_map, host.key) == nullptr) {
      result.entries.push_back({.rel_path = std::string(host.key),
                                .type = DELETED,
                                .size = host.size,
                                .time = host.time});
      ++result.deleted_count;
    }
  }
  return result;
}
