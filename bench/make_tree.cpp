// Builds a deterministic test tree for the benchmark: the same file count
// always gives the same folders, names, sizes, contents and times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint64_t SEED = 0x6b656c766f6461;
constexpr int MAX_DEPTH = 8;
constexpr std::int64_t FIRST_TIME = 1600000000;  // September 2020
constexpr std::int64_t TIME_SPAN = 3 * 365 * 86400;
constexpr std::size_t CONTENT_SIZE = 64 * 1024;

constexpr std::array<std::string_view, 16> FOLDER_WORDS = {
    "docs",    "src",  "photos", "backup", "projects", "music",
    "archive", "data", "notes",  "build",  "assets",   "reports",
    "mail",    "misc", "videos", "config"};
constexpr std::array<std::string_view, 12> FILE_WORDS = {
    "report", "image", "notes", "main",   "index",  "draft",
    "scan",   "table", "log",   "letter", "config", "track"};
constexpr std::array<std::string_view, 8> EXTENSIONS = {
    ".txt", ".jpg", ".pdf", ".dat", ".cpp", ".md", ".png", ".csv"};

// splitmix64: small, fast and the same on every machine.
struct Random {
  std::uint64_t state = SEED;

  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  // A number in [0, bound).
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }
};

struct Folder {
  std::string path;  // relative to the tree's root, "" for the root
  int depth = 0;
  std::uint64_t file_count = 0;
};

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "make_tree: %s %s: %s\n", what.c_str(), path.c_str(),
               std::strerror(errno));
  std::exit(1);
}

std::string join(const std::string& root, const std::string& rel) {
  return rel.empty() ? root : root + "/" + rel;
}

std::string padded(std::uint64_t number, std::size_t width) {
  std::string text = std::to_string(number);
  if (text.size() < width) {
    text.insert(0, width - text.size(), '0');
  }
  return text;
}

timespec random_time(Random& random) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(
      FIRST_TIME + static_cast<std::int64_t>(
                       random.below(static_cast<std::uint64_t>(TIME_SPAN))));
  time.tv_nsec = static_cast<long>(random.below(1000000000));
  return time;
}

// Mostly files of a few KiB, some empty or tiny, a few up to 32 KiB.
std::size_t random_size(Random& random) {
  const std::uint64_t kind = random.below(100);
  if (kind < 40) {
    return random.below(1024);
  }
  if (kind < 85) {
    return 1024 + random.below(3 * 1024);
  }
  return 4096 + random.below(28 * 1024);
}

// Folders in breadth-first order, each with 25 to 75 files and a random
// number of subfolders whose mean grows with the tree, so that small and large
// trees both reach a depth of about 7, never more than MAX_DEPTH.
std::vector<Folder> plan_folders(Random& random, std::uint64_t files) {
  std::vector<std::uint64_t> counts;
  for (std::uint64_t placed = 0; placed < files;) {
    const std::uint64_t count =
        std::min<std::uint64_t>(25 + random.below(51), files - placed);
    counts.push_back(count);
    placed += count;
  }
  const auto most_children = std::max<std::uint64_t>(
      2, static_cast<std::uint64_t>(std::ceil(
             2 * std::pow(static_cast<double>(counts.size()), 1.0 / 7))) -
             1);
  std::vector<Folder> folders;
  folders.push_back({"", 0, counts.empty() ? 0 : counts[0]});
  for (std::size_t parent = 0;
       folders.size() < counts.size() && parent < folders.size(); ++parent) {
    if (folders[parent].depth == MAX_DEPTH) {
      continue;
    }
    const std::uint64_t children = 1 + random.below(most_children);
    for (std::uint64_t child = 0;
         child < children && folders.size() < counts.size(); ++child) {
      std::string name(FOLDER_WORDS[random.below(FOLDER_WORDS.size())]);
      name += "_" + std::to_string(child);
      const std::string& base = folders[parent].path;
      Folder folder;
      folder.path = base.empty() ? name : base + "/" + name;
      folder.depth = folders[parent].depth + 1;
      folder.file_count = counts[folders.size()];
      folders.push_back(std::move(folder));
    }
  }
  return folders;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 ||
      (argc == 4 && std::string_view(argv[3]) != "--empty")) {
    std::fprintf(stderr, "Usage: make_tree DIR FILES [--empty]\n");
    return 1;
  }
  const std::string root = argv[1];
  const std::uint64_t files = std::strtoull(argv[2], nullptr, 10);
  const bool empty_files = argc == 4;

  Random random;
  const std::vector<Folder> folders = plan_folders(random, files);
  std::string content(CONTENT_SIZE + 32 * 1024, '\0');
  for (char& byte : content) {
    byte = static_cast<char>(random.below(95) + 32);
  }

  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    fail("cannot create", root);
  }
  std::uint64_t total_bytes = 0;
  std::uint64_t total_path_bytes = 0;
  std::uint64_t placed = 0;
  int max_depth = 0;
  for (const Folder& folder : folders) {
    const std::string folder_path = join(root, folder.path);
    if (!folder.path.empty() && mkdir(folder_path.c_str(), 0755) != 0) {
      fail("cannot create", folder_path);
    }
    max_depth = std::max(max_depth, folder.depth);
    for (std::uint64_t i = 0; i < folder.file_count; ++i) {
      std::string name(FILE_WORDS[random.below(FILE_WORDS.size())]);
      name += "_" + padded(placed++, 6);
      name += EXTENSIONS[random.below(EXTENSIONS.size())];
      const std::size_t size = empty_files ? 0 : random_size(random);
      const std::size_t offset = random.below(CONTENT_SIZE);
      const timespec time = random_time(random);
      const std::string rel =
          folder.path.empty() ? name : folder.path + "/" + name;
      const std::string path = join(root, rel);
      const int fd =
          open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) {
        fail("cannot create", path);
      }
      if (size != 0 && write(fd, content.data() + offset, size) !=
                           static_cast<ssize_t>(size)) {
        fail("cannot write", path);
      }
      const timespec times[2] = {time, time};
      if (futimens(fd, times) != 0 || close(fd) != 0) {
        fail("cannot finish", path);
      }
      total_bytes += size;
      total_path_bytes += rel.size();
    }
  }
  // Folder times last: creating an entry changes its folder's time.
  for (const Folder& folder : folders) {
    const timespec time = random_time(random);
    const timespec times[2] = {time, time};
    const std::string folder_path = join(root, folder.path);
    if (utimensat(AT_FDCWD, folder_path.c_str(), times, 0) != 0) {
      fail("cannot set the time of", folder_path);
    }
  }
  std::printf(
      "files %llu folders %zu bytes %llu max_depth %d mean_path_bytes %.1f\n",
      static_cast<unsigned long long>(placed), folders.size(),
      static_cast<unsigned long long>(total_bytes), max_depth,
      placed == 0 ? 0.0
                  : static_cast<double>(total_path_bytes) /
                        static_cast<double>(placed));
  return 0;
}
