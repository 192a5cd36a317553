// Relative paths below a tree's root: names joined by "/", no leading or
// trailing slash.
#ifndef KELVODA_REL_PATH_HPP_
#define KELVODA_REL_PATH_HPP_

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

// The last name of `path`.
inline std::string_view last_name(std::string_view path) {
  return path.substr(path.rfind('/') + 1);
}

// The folder of `path`: all but its last name, "" for a name in the root.
inline std::string_view folder_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view()
                                         : path.substr(0, slash);
}

// The number of names in `path`.
inline std::size_t depth_of(std::string_view path) {
  return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/')) +
         1;
}

// The first `count` names of `path`.
inline std::string_view leading(std::string_view path, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < count && end != std::string_view::npos; ++i) {
    end = path.find('/', i == 0 ? 0 : end + 1);
  }
  return path.substr(0, end);
}

// `folder` and `name` joined.
inline std::string joined(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty()) {
    path += '/';
  }
  path += name;
  return path;
}

#endif  // KELVODA_REL_PATH_HPP_
