// Each new folder or file is hashed with its host folder and its folded
// names; equal hashes are taken as alike, which at worst costs a wave. Paths
// in walk order share their folders, which are hashed once.
#include "waves.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "fold.hpp"
#include "rel_path.hpp"

void set_waves(std::vector<DiffEntry>& entries,
               const std::vector<NewPath>& paths) {
  struct Item {
    std::size_t key = 0;
    std::string_view local;
  };
  std::vector<Item> items;
  const NewPath* previous = nullptr;
  for (const NewPath& path : paths) {
    const std::string_view rel = entries[path.entry].rel_path;
    std::string text = path.host;
    text += '\0';
    for (std::size_t depth = path.depth, count = depth_of(rel); depth <= count;
         ++depth) {
      const std::string_view local = leading(rel, depth);
      text += fold_name(last_name(local));
      text += '/';
      if (previous == nullptr || previous->depth != path.depth ||
          previous->host != path.host ||
          leading(entries[previous->entry].rel_path, depth) != local) {
        items.push_back({std::hash<std::string>{}(text), local});
      }
    }
    previous = &path;
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.key != b.key ? a.key < b.key : a.local < b.local;
  });
  std::unordered_map<std::string_view, std::uint16_t> later;
  for (std::size_t i = 1, rank = 0; i < items.size(); ++i) {
    if (items[i].key != items[i - 1].key) {
      rank = 0;
    } else if (items[i].local != items[i - 1].local) {
      ++rank;
      later[items[i].local] =
          static_cast<std::uint16_t>(std::min<std::size_t>(rank, UINT16_MAX));
    }
  }
  if (later.empty()) {
    return;
  }
  for (const NewPath& path : paths) {
    DiffEntry& entry = entries[path.entry];
    for (std::size_t depth = path.depth, count = depth_of(entry.rel_path);
         depth <= count; ++depth) {
      const auto at = later.find(leading(entry.rel_path, depth));
      if (at != later.end()) {
        entry.wave = std::max(entry.wave, at->second);
      }
    }
  }
}
