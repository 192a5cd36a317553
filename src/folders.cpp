// Opening a tree's folders one level at a time with openat relative to the
// level above: no path longer than one name is ever handed to the kernel.
#include "folders.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>

namespace {

// Appends the code point `code` (below 0x800) to `out` in UTF-8.
void append_utf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
    return;
  }
  out += static_cast<char>(0xC0 | (code >> 6));
  out += static_cast<char>(0x80 | (code & 0x3F));
}

// The small letter of the capital `code`, for the letters of two UTF-8 bytes
// that FAT, exFAT and NTFS compare without case; other code points stay.
unsigned lower_letter(unsigned code) {
  const bool latin1 = code >= 0xC0 && code <= 0xDE && code != 0xD7;
  const bool greek = code >= 0x391 && code <= 0x3A9 && code != 0x3A2;
  const bool cyrillic = code >= 0x410 && code <= 0x42F;
  if (latin1 || greek || cyrillic) {
    return code + 0x20;
  }
  if (code >= 0x400 && code <= 0x40F) {
    return code + 0x50;
  }
  const bool even_pairs =
      (code >= 0x100 && code <= 0x137) || (code >= 0x14A && code <= 0x177);
  const bool odd_pairs =
      (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
  if ((even_pairs && code % 2 == 0) || (odd_pairs && code % 2 == 1)) {
    return code + 1;
  }
  return code == 0x178 ? 0xFF : code;
}

constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens the folder `name` below `parent`, making it first when `make` is
// set or when it is missing and `create` allows. Returns the descriptor or
// -1 with errno set; `made` tells whether this call created the folder.
int open_level(int parent, const std::string& name, Create create, bool make,
               bool& made) {
  made = false;
  if (!make) {
    const int fd = openat(parent, name.c_str(), FOLDER_FLAGS);
    if (fd >= 0 || errno != ENOENT || create == Create::NO) {
      return fd;
    }
  }
  if (mkdirat(parent, name.c_str(), 0777) == 0) {
    made = true;
  } else if (errno == ENOENT) {
    // The folder above is open, so the host refuses the name itself (as
    // exfat-fuse does for ':' or '?').
    errno = EINVAL;
    return -1;
  } else if (errno != EEXIST) {
    return -1;
  }
  return openat(parent, name.c_str(), FOLDER_FLAGS);
}

}  // namespace

int open_folders(FolderChain& chain, std::string_view rel_folder,
                 Create create) {
  if (chain.fds.empty()) {
    const int fd = open(chain.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      return errno;
    }
    chain.fds.push_back(std::make_shared<const UniqueFd>(fd));
  }
  // Keep the levels shared with the folders held so far.
  std::size_t level = 0;
  std::size_t begin = 0;
  while (begin < rel_folder.size() && level < chain.names.size()) {
    std::size_t end = rel_folder.find('/', begin);
    if (end == std::string_view::npos) {
      end = rel_folder.size();
    }
    if (rel_folder.substr(begin, end - begin) != chain.names[level]) {
      break;
    }
    ++level;
    begin = end + 1;
  }
  while (chain.names.size() > level) {
    close_deepest(chain);
  }
  chain.kept = level;
  while (begin < rel_folder.size()) {
    std::size_t end = rel_folder.find('/', begin);
    if (end == std::string_view::npos) {
      end = rel_folder.size();
    }
    std::string name(rel_folder.substr(begin, end - begin));
    const bool make =
        create == Create::YES && !chain.created.empty() && chain.created.back();
    bool made = false;
    const int fd =
        open_level(chain.fds.back()->get(), name, create, make, made);
    if (fd < 0) {
      return errno == ELOOP ? ENOTDIR : errno;
    }
    chain.fds.push_back(std::make_shared<const UniqueFd>(fd));
    chain.names.push_back(std::move(name));
    chain.created.push_back(made);
    begin = end + 1;
  }
  return 0;
}

void close_deepest(FolderChain& chain) {
  chain.fds.pop_back();
  chain.names.pop_back();
  chain.created.pop_back();
}

std::string fold_key(std::string_view rel) {
  std::string folded;
  folded.reserve(rel.size());
  const auto end_component = [&folded] {
    while (!folded.empty() && (folded.back() == '.' || folded.back() == ' ')) {
      folded.pop_back();
    }
  };
  for (std::size_t i = 0; i < rel.size(); ++i) {
    const auto byte = static_cast<unsigned char>(rel[i]);
    if (byte == '/') {
      end_component();
      folded += '/';
    } else if (byte < 0x80) {
      folded += static_cast<char>(std::tolower(byte));
    } else if ((byte & 0xE0) == 0xC0 && i + 1 < rel.size() &&
               (static_cast<unsigned char>(rel[i + 1]) & 0xC0) == 0x80) {
      const unsigned code = ((byte & 0x1FU) << 6) |
                            (static_cast<unsigned char>(rel[i + 1]) & 0x3FU);
      append_utf8(folded, lower_letter(code));
      ++i;
    } else {
      folded += static_cast<char>(byte);
    }
  }
  end_component();
  return folded;
}
