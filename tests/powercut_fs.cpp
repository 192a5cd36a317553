// A file system in memory that loses power on purpose, for the tests.
//
// Every change is made to the current state, which the processes see. An
// fsync of any file or folder writes the whole current state to the "disk"
// (the durable state), the way FUSE drivers such as exfat-fuse write all
// they hold on any fsync; syncfs never reaches a FUSE driver. The power goes
// at the cut_at-th change (counting from 1; that change is lost): from then
// on the file system shows what the disk holds and refuses every change
// with EIO. What the disk holds depends on the mode:
//   forget     names and data as of the last fsync;
//   reorder    the names of the current state, but every file's data as
//              of the last fsync (empty for a file made since), like a
//              journal that commits names before the data they point to;
//   writeback  names as of the last fsync, but the data of the files the
//              disk holds as last written, since the kernel writes data
//              back whenever it likes: a file written in place is torn.
//
//   powercut_fs MOUNTPOINT [FUSE options] -o cut_at=N,mode=MODE,count=FILE
//
// FILE holds the number of changes seen so far, rewritten after each, so a
// test can learn how many changes a run makes and cut at each of them.
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>  // RENAME_NOREPLACE
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

namespace {

struct Node {
  mode_t mode = 0;  // type and permission bits
  nlink_t links = 1;
  std::string data;                            // a file's bytes
  std::map<std::string, std::uint64_t> names;  // a folder's entries
  timespec mtime{};
  timespec atime{};
};
using Nodes = std::map<std::uint64_t, Node>;

constexpr std::uint64_t ROOT = 1;

struct Options {
  unsigned long cut_at = 0;  // 0: the power never goes
  char* mode = nullptr;
  char* count = nullptr;
};

Options options;
enum class Loss { FORGET, REORDER, WRITEBACK };
Loss loss = Loss::FORGET;
Nodes current;
Nodes durable;
std::uint64_t next_ino = ROOT + 1;  // never reused, not part of the state
unsigned long changes = 0;
bool power_lost = false;

timespec now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

void checkpoint() {
  durable = current;
}

void lose_power() {
  power_lost = true;
  if (loss != Loss::REORDER) {
    current = durable;
    return;
  }
  for (auto& [ino, node] : current) {
    const auto on_disk = durable.find(ino);
    node.data = on_disk != durable.end() ? on_disk->second.data : "";
  }
}

// The path of a change for the log, else the open file's inode number.
std::string shown(const char* path, const fuse_file_info* fi) {
  return path != nullptr ? path : "inode " + std::to_string(fi->fh);
}

// Counts the change `what` to `path`; returns whether it may be made.
bool powered(const char* what, const std::string& path) {
  if (power_lost) {
    return false;
  }
  ++changes;
  if (options.count != nullptr) {
    std::ofstream(options.count, std::ios::trunc) << changes << "\n";
  }
  if (changes == options.cut_at) {
    std::fprintf(stderr, "powercut_fs: power lost at change %lu, %s %s\n",
                 changes, what, path.c_str());
    lose_power();
    return false;
  }
  return true;
}

Node* node_of(std::uint64_t ino) {
  const auto found = current.find(ino);
  return found == current.end() ? nullptr : &found->second;
}

// The inode `path` ("/" or "/a/b") names, or 0.
std::uint64_t lookup(std::string_view path) {
  std::uint64_t ino = ROOT;
  while (ino != 0 && path.size() > 1) {
    path.remove_prefix(1);
    const std::string name(path.substr(0, path.find('/')));
    path.remove_prefix(name.size());
    const Node& folder = current[ino];  // a file has no names
    const auto entry = folder.names.find(name);
    ino = entry == folder.names.end() ? 0 : entry->second;
  }
  return ino;
}

// The folder that holds `path` and the last name of it.
struct Place {
  Node* folder = nullptr;
  std::string name;
  std::uint64_t ino = 0;  // what the name stands for, or 0
};

// Fills `place` for `path` and counts the change `what` of it, if any;
// returns 0 or the negative error number.
int change_name(const char* what, const char* path, Place& place) {
  const std::string_view whole(path);
  const std::size_t slash = whole.rfind('/');
  place.name = std::string(whole.substr(slash + 1));
  place.folder = node_of(lookup(whole.substr(0, slash)));
  if (place.folder == nullptr || !S_ISDIR(place.folder->mode)) {
    return -ENOENT;
  }
  const auto entry = place.folder->names.find(place.name);
  place.ino = entry == place.folder->names.end() ? 0 : entry->second;
  return what == nullptr || powered(what, path) ? 0 : -EIO;
}

// The node an operation is about: the open file, else the path's.
Node* target(const char* path, const fuse_file_info* fi) {
  return node_of(fi != nullptr ? fi->fh : lookup(path));
}

void drop_name(Place& place) {
  if (Node* node = node_of(place.ino); node != nullptr) {
    --node->links;
  }
  place.folder->names.erase(place.name);
  place.folder->mtime = now();
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  const std::uint64_t ino = fi != nullptr ? fi->fh : lookup(path);
  const Node* node = node_of(ino);
  if (node == nullptr) {
    return -ENOENT;
  }
  *st = {};
  st->st_ino = ino;
  st->st_mode = node->mode;
  st->st_nlink = S_ISDIR(node->mode) ? 2 : node->links;
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_size = static_cast<off_t>(node->data.size());
  st->st_blksize = 4096;
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_mtim = st->st_ctim = node->mtime;
  st->st_atim = node->atime;
  return 0;
}

int make(const char* what, const char* path, mode_t mode, std::uint64_t& ino) {
  Place place;
  if (const int error = change_name(what, path, place); error != 0) {
    return error;
  }
  if (place.ino != 0) {
    return -EEXIST;
  }
  ino = next_ino++;
  Node& node = current[ino];
  node.mode = mode;
  node.mtime = node.atime = now();
  place.folder->names[place.name] = ino;
  place.folder->mtime = node.mtime;
  return 0;
}

int fs_mkdir(const char* path, mode_t mode) {
  std::uint64_t ino = 0;
  return make("mkdir", path, S_IFDIR | (mode & 07777), ino);
}

int fs_create(const char* path, mode_t mode, fuse_file_info* fi) {
  return make("create", path, S_IFREG | (mode & 07777), fi->fh);
}

int fs_read(const char*, char* buffer, std::size_t size, off_t offset,
            fuse_file_info* fi) {
  const Node* node = node_of(fi->fh);
  if (node == nullptr) {
    return -EIO;
  }
  const auto start =
      std::min(static_cast<std::size_t>(offset), node->data.size());
  const std::size_t got = std::min(size, node->data.size() - start);
  std::memcpy(buffer, node->data.data() + start, got);
  return static_cast<int>(got);
}

// In writeback mode, puts the data of `ino` on the disk at once, if the disk
// holds the file.
void write_back(std::uint64_t ino) {
  const auto on_disk = durable.find(ino);
  if (loss == Loss::WRITEBACK && on_disk != durable.end()) {
    on_disk->second.data = current[ino].data;
  }
}

int fs_write(const char*, const char* buffer, std::size_t size, off_t offset,
             fuse_file_info* fi) {
  Node* node = node_of(fi->fh);
  if (!powered("write", shown(nullptr, fi)) || node == nullptr) {
    return -EIO;
  }
  const auto start = static_cast<std::size_t>(offset);
  if (node->data.size() < start + size) {
    node->data.resize(start + size);
  }
  node->data.replace(start, size, buffer, size);
  node->mtime = now();
  write_back(fi->fh);
  return static_cast<int>(size);
}

int fs_truncate(const char* path, off_t size, fuse_file_info* fi) {
  Node* node = target(path, fi);
  if (!powered("truncate", shown(path, fi)) || node == nullptr) {
    return node == nullptr ? -ENOENT : -EIO;
  }
  node->data.resize(static_cast<std::size_t>(size));
  node->mtime = now();
  write_back(fi != nullptr ? fi->fh : lookup(path));
  return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
  fi->fh = lookup(path);
  if (fi->fh == 0) {
    return -ENOENT;
  }
  // libfuse asks the kernel to leave O_TRUNC to the open (atomic_o_trunc).
  return (fi->flags & O_TRUNC) != 0 ? fs_truncate(nullptr, 0, fi) : 0;
}

int remove(const char* what, const char* path, bool folder) {
  Place place;
  if (const int error = change_name(what, path, place); error != 0) {
    return error;
  }
  const Node* node = node_of(place.ino);
  if (node == nullptr) {
    return -ENOENT;
  }
  if (S_ISDIR(node->mode) != folder) {
    return folder ? -ENOTDIR : -EISDIR;
  }
  if (!node->names.empty()) {
    return -ENOTEMPTY;
  }
  drop_name(place);
  return 0;
}

int fs_unlink(const char* path) {
  return remove("unlink", path, false);
}

int fs_rmdir(const char* path) {
  return remove("rmdir", path, true);
}

int fs_rename(const char* from, const char* to, unsigned int flags) {
  if ((flags & ~unsigned{RENAME_NOREPLACE}) != 0) {
    return -EINVAL;
  }
  Place source;
  Place dest;
  if (const int error = change_name(nullptr, to, dest); error != 0) {
    return error;
  }
  if (const int error = change_name("rename", from, source); error != 0) {
    return error;
  }
  const Node* moved = node_of(source.ino);
  const Node* replaced = node_of(dest.ino);
  if (moved == nullptr) {
    return -ENOENT;
  }
  if (std::string_view(to).starts_with(std::string(from) + "/")) {
    return -EINVAL;
  }
  if (replaced != nullptr) {
    if ((flags & RENAME_NOREPLACE) != 0) {
      return -EEXIST;
    }
    if (source.ino == dest.ino) {
      return 0;
    }
    if (S_ISDIR(moved->mode) != S_ISDIR(replaced->mode)) {
      return S_ISDIR(moved->mode) ? -ENOTDIR : -EISDIR;
    }
    if (!replaced->names.empty()) {
      return -ENOTEMPTY;
    }
    drop_name(dest);
  }
  source.folder->names.erase(source.name);
  dest.folder->names[dest.name] = source.ino;
  source.folder->mtime = dest.folder->mtime = now();
  return 0;
}

int fs_link(const char* from, const char* to) {
  Place dest;
  if (const int error = change_name("link", to, dest); error != 0) {
    return error;
  }
  const std::uint64_t ino = lookup(from);
  if (ino == 0) {
    return -ENOENT;
  }
  if (S_ISDIR(node_of(ino)->mode)) {
    return -EPERM;
  }
  if (dest.ino != 0) {
    return -EEXIST;
  }
  dest.folder->names[dest.name] = ino;
  ++node_of(ino)->links;
  return 0;
}

int fs_chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  Node* node = target(path, fi);
  if (!powered("chmod", shown(path, fi)) || node == nullptr) {
    return node == nullptr ? -ENOENT : -EIO;
  }
  node->mode = (node->mode & S_IFMT) | (mode & 07777);
  return 0;
}

int fs_utimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  Node* node = target(path, fi);
  if (!powered("utimens", shown(path, fi)) || node == nullptr) {
    return node == nullptr ? -ENOENT : -EIO;
  }
  const auto set = [](timespec& field, const timespec& to) {
    if (to.tv_nsec != UTIME_OMIT) {
      field = to.tv_nsec == UTIME_NOW ? now() : to;
    }
  };
  set(node->atime, times[0]);
  set(node->mtime, times[1]);
  return 0;
}

int fs_fsync(const char* path, int, fuse_file_info* fi) {
  if (!powered("fsync", shown(path, fi))) {
    return -EIO;
  }
  checkpoint();
  return 0;
}

int fs_opendir(const char* path, fuse_file_info* fi) {
  fi->fh = lookup(path);
  return fi->fh != 0 ? 0 : -ENOENT;
}

int fs_readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t,
               fuse_file_info* fi, fuse_readdir_flags) {
  const Node* folder = node_of(fi->fh);
  if (folder == nullptr || !S_ISDIR(folder->mode)) {
    return -ENOENT;
  }
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const auto& [name, ino] : folder->names) {
    fill(buffer, name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
  }
  return 0;
}

int fs_statfs(const char*, struct statvfs* st) {
  *st = {};
  st->f_bsize = st->f_frsize = 4096;
  st->f_blocks = st->f_bfree = st->f_bavail = 1 << 20;
  st->f_files = st->f_ffree = 1 << 20;
  st->f_namemax = 255;
  return 0;
}

void* fs_init(fuse_conn_info*, fuse_config* config) {
  // No caches in the kernel: after the cut, every look must reach the state
  // the disk holds. Removed files that are still open keep their inode.
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
  config->direct_io = 1;
  config->use_ino = 1;
  config->hard_remove = 1;
  config->nullpath_ok = 1;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const fuse_opt specs[] = {
      {"cut_at=%lu", offsetof(Options, cut_at), 0},
      {"mode=%s", offsetof(Options, mode), 0},
      {"count=%s", offsetof(Options, count), 0},
      FUSE_OPT_END,
  };
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &options, specs, nullptr) != 0) {
    return 1;
  }
  const std::string name = options.mode != nullptr ? options.mode : "forget";
  if (name != "forget" && name != "reorder" && name != "writeback") {
    std::fprintf(stderr, "powercut_fs: mode is forget, reorder or writeback\n");
    return 1;
  }
  loss = name == "reorder"     ? Loss::REORDER
         : name == "writeback" ? Loss::WRITEBACK
                               : Loss::FORGET;
  Node& root = current[ROOT];
  root.mode = S_IFDIR | 0777;
  root.mtime = root.atime = now();
  checkpoint();

  fuse_operations ops{};
  ops.getattr = fs_getattr;
  ops.mkdir = fs_mkdir;
  ops.unlink = fs_unlink;
  ops.rmdir = fs_rmdir;
  ops.rename = fs_rename;
  ops.link = fs_link;
  ops.chmod = fs_chmod;
  ops.truncate = fs_truncate;
  ops.open = fs_open;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.statfs = fs_statfs;
  ops.fsync = fs_fsync;
  ops.opendir = fs_opendir;
  ops.readdir = fs_readdir;
  ops.fsyncdir = fs_fsync;
  ops.init = fs_init;
  ops.create = fs_create;
  ops.utimens = fs_utimens;
  const int status = fuse_main(args.argc, args.argv, &ops, nullptr);
  fuse_opt_free_args(&args);
  std::free(options.mode);
  std::free(options.count);
  return status;
}
