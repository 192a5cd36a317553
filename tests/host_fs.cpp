// Real file systems of the kinds found on USB disks, mounted from loop images,
// and a folder of an ssh server mounted with sshfs, so tests can mirror onto
// them.
#include "host_fs.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/loop.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "test_util.hpp"

namespace fs = std::filesystem;

namespace {

constexpr off_t IMAGE_SIZE = off_t{64} << 20;

// In the command lines, DEV stands for the loop device, DIR for the mount
// point. Formatting the device rather than the image spares mkntfs its
// "not a block device" refusal. sshfs has neither: its server is started
// and its folder mounted by MountedHost itself.
struct KindSetup {
  const char* name;
  const char* kernel_fs;   // as /proc/filesystems lists it
  const char* mount_type;  // as /proc/self/mountinfo lists it
  std::vector<std::string> format;
  std::vector<std::string> mount;
};

const KindSetup& setup_of(HostKind kind) {
  static const KindSetup setups[] = {
      {"ext4",
       "ext4",
       "ext4",
       {"mkfs.ext4", "-q", "-F", "DEV"},
       {"mount", "-t", "ext4", "DEV", "DIR"}},
      {"exfat",
       "fuseblk",
       "fuseblk",
       {"mkfs.exfat", "DEV"},
       {"mount.exfat-fuse", "DEV", "DIR"}},
      {"ntfs",
       "fuseblk",
       "fuseblk",
       {"mkntfs", "-Q", "-q", "DEV"},
       {"ntfs-3g", "-o", "windows_names", "DEV", "DIR"}},
      {"ntfs-ignore-case",
       "fuseblk",
       "fuseblk",
       {"mkntfs", "-Q", "-q", "DEV"},
       {"lowntfs-3g", "-o", "ignore_case", "DEV", "DIR"}},
      {"sshfs", "fuse", "fuse.sshfs", {}, {}},
  };
  return setups[static_cast<int>(kind)];
}

// The ssh server runs as the user it lets in: 65534 when the tests run as
// root, since a server started as root needs a folder of the system's own
// for its privilege separation, and the current user otherwise.
uid_t server_uid() {
  return geteuid() == 0 ? 65534 : geteuid();
}
gid_t server_gid() {
  return geteuid() == 0 ? 65534 : getegid();
}

// The absolute path of the program `name`, or "". Root's tools live in the
// sbin folders, which a user's PATH often lacks.
std::string find_tool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(std::string(path != nullptr ? path : "") +
                          ":/usr/sbin:/sbin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

std::vector<std::string> substitute(std::vector<std::string> argv,
                                    const std::string& device,
                                    const std::string& dir) {
  for (std::string& arg : argv) {
    arg = arg == "DEV" ? device : arg == "DIR" ? dir : arg;
  }
  return argv;
}

// Starts `program` with `argv`, stdin on /dev/null and both outputs appended
// to `log`; `as_server` drops to the ssh server's user and ends the child
// with this process. Returns its pid, or -1.
pid_t spawn_logged(const std::string& program,
                   const std::vector<std::string>& argv, const std::string& log,
                   bool as_server) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out =
      open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    // A FUSE daemon outlives us; it must not hold the test's pipes or the
    // loop device open.
    close_range(3, ~0U, 0);
    if (as_server) {
      if (geteuid() == 0 &&
          (setgroups(0, nullptr) != 0 || setgid(server_gid()) != 0 ||
           setuid(server_uid()) != 0)) {
        _exit(126);
      }
      prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
    execv(program.c_str(), args.data());
    _exit(127);
  }
  close(in);
  close(out);
  return pid;
}

// Runs `argv` as spawn_logged does; returns whether it exited with status 0.
bool run_tool(const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = spawn_logged(find_tool(argv[0]), argv, log, false);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Binds `image_fd` to a free loop device, names it in `device` and returns
// the device's descriptor, or -1. Autoclear detaches the device as soon as
// its last user (the FUSE daemon may be later than us) closes it.
int attach_loop(int image_fd, std::string& device) {
  const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  int fd = -1;
  // Another process may bind the free device first; then ask again.
  for (int attempt = 0; control >= 0 && fd < 0 && attempt < 10; ++attempt) {
    const int number = ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) {
      break;
    }
    device = "/dev/loop" + std::to_string(number);
    fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    loop_config config{};
    config.fd = static_cast<__u32>(image_fd);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (fd >= 0 && ioctl(fd, LOOP_CONFIGURE, &config) != 0) {
      close(fd);
      fd = -1;
    }
  }
  if (control >= 0) {
    close(control);
  }
  return fd;
}

// Unmounts `dir`; returns whether nothing is mounted there any more. On
// failure detaches the mount lazily and reports with ADD_FAILURE.
bool unmount_or_detach(const std::string& dir) {
  if (unmount(dir)) {
    return true;
  }
  ADD_FAILURE() << "cannot unmount " << dir << ": " << std::strerror(errno);
  umount2(dir.c_str(), MNT_DETACH);
  return false;
}

std::string read_log(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

// Writes `lines` to `path`, each ended by a newline.
void write_lines(const std::string& path,
                 std::initializer_list<std::string> lines) {
  std::ofstream out(path);
  for (const std::string& line : lines) {
    out << line << "\n";
  }
}

// A local TCP port that was free a moment ago, or 0.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound =
      fd >= 0 &&
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) {
    close(fd);
  }
  return bound ? ntohs(address.sin_port) : 0;
}

// Starts `sshd` with the configuration `config`, in the foreground as the
// server's user, its messages appended to `log`. sshd starts itself again
// for each connection, by its absolute path. Returns its pid, or -1.
pid_t start_sshd(const std::string& sshd, const std::string& config,
                 const std::string& log) {
  return spawn_logged(sshd, {sshd, "-D", "-e", "-f", config}, log, true);
}

// Waits up to 10 s until the server `pid` accepts connections on `port`;
// returns false at once when it has ended (the port was taken after all),
// leaving it to be reaped.
bool accepts_connections(pid_t pid, int port) {
  using namespace std::chrono;
  const auto end = steady_clock::now() + seconds(10);
  while (steady_clock::now() < end) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected =
        fd >= 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
      close(fd);
    }
    if (connected) {
      return true;
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info,
               WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

// Stops the ssh server `pid` and reaps it.
void stop_sshd(pid_t pid) {
  kill(pid, SIGTERM);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool loop_holds_image(const std::string& device, const std::string& image) {
  std::ifstream in("/sys/block/" + device.substr(5) + "/loop/backing_file");
  std::string line;
  // Once the image is removed the kernel appends " (deleted)".
  return std::getline(in, line) && line.starts_with(image);
}

const char* host_kind_name(HostKind kind) {
  return setup_of(kind).name;
}

const char* host_mount_type(HostKind kind) {
  return setup_of(kind).mount_type;
}

std::string host_unavailable_reason(HostKind kind) {
  const KindSetup& setup = setup_of(kind);
  const bool network = kind == HostKind::SSHFS;
  if (geteuid() != 0 && !network) {
    return "mounting a file system needs root";
  }
  std::ifstream filesystems("/proc/filesystems");
  std::string line;
  bool known = false;
  while (std::getline(filesystems, line)) {
    known = known || line.ends_with(std::string("\t") + setup.kernel_fs);
  }
  if (!known) {
    return std::string("the kernel lacks ") + setup.kernel_fs;
  }
  if (std::string_view(setup.kernel_fs).starts_with("fuse") &&
      access("/dev/fuse", R_OK | W_OK) != 0) {
    return "no usable /dev/fuse";
  }
  if (network) {
    if (getpwuid(server_uid()) == nullptr) {
      return "no account of user " + std::to_string(server_uid()) +
             " for the ssh server";
    }
    std::vector<std::string> tools = {"sshd", "ssh", "ssh-keygen", "sshfs"};
    if (geteuid() != 0) {
      tools.emplace_back("fusermount3");
    }
    for (const std::string& tool : tools) {
      if (find_tool(tool).empty()) {
        return "missing tool " + tool;
      }
    }
    return "";
  }
  const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  const int number = control < 0 ? -1 : ioctl(control, LOOP_CTL_GET_FREE);
  if (control >= 0) {
    close(control);
  }
  if (number < 0 ||
      access(("/dev/loop" + std::to_string(number)).c_str(), F_OK) != 0) {
    return "no free loop device";
  }
  for (const std::string& tool : {setup.format[0], setup.mount[0]}) {
    if (find_tool(tool).empty()) {
      return "missing tool " + tool;
    }
  }
  return "";
}

MountedHost::MountedHost(HostKind kind) : kind_(kind) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
      "/kelvoda-host-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return;
  }
  dir_ = pattern;
  // Other users must reach the mount point through here.
  chmod(dir_.c_str(), 0711);
  if (kind == HostKind::SSHFS) {
    if (start_server()) {
      ::mkdir((dir_ + "/mnt").c_str(), 0755);
      root_ = dir_ + "/mnt";  // from here on the destructor unmounts
      mount();
    }
    return;
  }
  image_ = dir_ + "/image";
  const int image_fd =
      open(image_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (image_fd < 0 || ftruncate(image_fd, IMAGE_SIZE) != 0) {
    ADD_FAILURE() << "cannot create " << image_ << ": " << std::strerror(errno);
  }
  loop_fd_ = image_fd < 0 ? -1 : attach_loop(image_fd, device_);
  if (image_fd >= 0) {
    close(image_fd);
  }
  if (loop_fd_ < 0) {
    ADD_FAILURE() << "no loop device for " << image_;
    return;
  }
  const std::string log = dir_ + "/log";
  if (!run_tool(substitute(setup_of(kind).format, device_, ""), log)) {
    ADD_FAILURE() << "formatting " << host_kind_name(kind) << " failed:\n"
                  << read_log(log);
    return;
  }
  const std::string mount_point = dir_ + "/mnt";
  ::mkdir(mount_point.c_str(), 0755);
  root_ = mount_point;  // from here on the destructor unmounts
  // Tests expect an empty host that an unprivileged run may write to; the
  // FUSE mounts already show every entry as 0777.
  if (mount() && kind == HostKind::EXT4 &&
      (rmdir((root_ + "/lost+found").c_str()) != 0 ||
       chmod(root_.c_str(), 0777) != 0)) {
    ADD_FAILURE() << "cannot prepare " << root_ << ": " << std::strerror(errno);
    mounted_ = false;
  }
}

MountedHost::~MountedHost() {
  using namespace std::chrono_literals;
  if (!root_.empty()) {
    unmount_or_detach(root_);
  }
  if (server_ > 0) {
    stop_sshd(server_);
  }
  if (loop_fd_ >= 0) {
    close(loop_fd_);
    // The FUSE driver closes the device when it exits, shortly after the
    // unmount returned; autoclear then detaches it.
    for (int attempt = 0; loop_holds_image(device_, image_) && attempt < 250;
         ++attempt) {
      std::this_thread::sleep_for(20ms);
    }
    if (loop_holds_image(device_, image_)) {
      ADD_FAILURE() << device_ << " still holds " << image_;
    }
  }
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
}

bool MountedHost::remount() {
  if (root_.empty()) {
    return false;
  }
  mounted_ = false;
  return unmount_or_detach(root_) && mount();
}

bool MountedHost::start_server() {
  const std::string log = dir_ + "/log";
  for (const char* key : {"/host_key", "/user_key"}) {
    if (!run_tool({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C",
                   "kelvoda-test", "-f", dir_ + key},
                  log)) {
      ADD_FAILURE() << "ssh-keygen failed:\n" << read_log(log);
      return false;
    }
  }
  image_ = dir_ + "/served";
  ::mkdir(image_.c_str(), 0755);
  write_text(dir_ + "/authorized_keys", read_log(dir_ + "/user_key.pub"));
  // The server reads its key and the keys it lets in, and writes the
  // folder, as its user.
  for (const char* name : {"/host_key", "/authorized_keys", "/served"}) {
    if (chown((dir_ + name).c_str(), server_uid(), server_gid()) != 0) {
      ADD_FAILURE() << "chown " << dir_ << name << ": " << std::strerror(errno);
      return false;
    }
  }
  const std::string user = getpwuid(server_uid())->pw_name;
  const std::string sshd = find_tool("sshd");
  for (int attempt = 0; attempt < 5 && server_ < 0; ++attempt) {
    const int port = free_port();
    // Nothing of the machine's own configuration is read. The account of
    // user 65534 is locked, which sshd refuses by itself; PAM lets a key in.
    write_lines(
        dir_ + "/sshd_config",
        {"ListenAddress 127.0.0.1:" + std::to_string(port),
         "HostKey " + dir_ + "/host_key",
         "AuthorizedKeysFile " + dir_ + "/authorized_keys",
         "AllowUsers " + user, "PidFile none", "UsePAM yes", "StrictModes no",
         "PasswordAuthentication no", "KbdInteractiveAuthentication no",
         "PrintMotd no", "PrintLastLog no", "Subsystem sftp internal-sftp"});
    server_ = start_sshd(sshd, dir_ + "/sshd_config", log);
    if (server_ > 0 && !accepts_connections(server_, port)) {
      stop_sshd(server_);
      server_ = -1;
      continue;
    }
    write_text(dir_ + "/known_hosts", "[127.0.0.1]:" + std::to_string(port) +
                                          " " +
                                          read_log(dir_ + "/host_key.pub"));
    write_lines(dir_ + "/ssh_config",
                {"Host *", "HostName 127.0.0.1", "Port " + std::to_string(port),
                 "User " + user, "IdentityFile " + dir_ + "/user_key",
                 "IdentitiesOnly yes", "IdentityAgent none",
                 "UserKnownHostsFile " + dir_ + "/known_hosts",
                 "GlobalKnownHostsFile /dev/null", "StrictHostKeyChecking yes",
                 "BatchMode yes"});
  }
  if (server_ < 0) {
    ADD_FAILURE() << "the ssh server did not start:\n" << read_log(log);
    return false;
  }
  return true;
}

bool MountedHost::mount() {
  const std::string log = dir_ + "/log";
  // sshfs passes its configuration to ssh, which then reads no other.
  const std::vector<std::string> command =
      kind_ == HostKind::SSHFS
          ? std::vector<std::string>{"sshfs", "-F", dir_ + "/ssh_config",
                                     "127.0.0.1:" + image_, root_}
          : substitute(setup_of(kind_).mount, device_, root_);
  if (!run_tool(command, log)) {
    ADD_FAILURE() << "mounting " << host_kind_name(kind_) << " failed:\n"
                  << read_log(log);
    return false;
  }
  struct stat outer {};
  struct stat inner {};
  mounted_ = stat(dir_.c_str(), &outer) == 0 &&
             stat(root_.c_str(), &inner) == 0 && outer.st_dev != inner.st_dev;
  if (!mounted_) {
    ADD_FAILURE() << root_ << " is not a mount point after mounting";
  }
  return mounted_;
}
