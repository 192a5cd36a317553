// Two passes over the maps, one hash lookup per key.
#include "compare.hpp"

CompareResult compare_dirs(const FileTimeMap& local_map,
                           const FileTimeMap& host_map) {
  CompareResult result;
  result.local_total = local_map.times.size();
  result.host_total = host_map.times.size();

  for (const auto& [key, local_time] : local_map.times) {
    auto found = host_map.times.find(key);
    if (found == host_map.times.end()) {
      result.entries.push_back({std::string(key), MISSING});
      ++result.missing_count;
    } else if (local_time > found->second) {
      result.entries.push_back({std::string(key), NEWER});
      ++result.newer_count;
    } else {
      ++result.unchanged_count;
    }
  }
  // Deletions come last, so every copy of a run is made before the first
  // deletion and pruning never removes a folder that is still to be filled.
  for (const auto& [key, host_time] : host_map.times) {
    if (!local_map.times.contains(key)) {
      result.entries.push_back({std::string(key), DELETED});
      ++result.deleted_count;
    }
  }
  return result;
}
