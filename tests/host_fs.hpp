// Real file systems of the kinds found on USB disks, mounted from loop images,
// and a folder of an ssh server mounted over the network with sshfs, so tests
// can mirror onto them.
#ifndef KELVODA_HOST_FS_HPP_
#define KELVODA_HOST_FS_HPP_

#include <sys/types.h>

#include <string>

enum class HostKind {
  EXT4,
  EXFAT,
  NTFS_CASE_SENSITIVE,
  NTFS_IGNORE_CASE,
  SSHFS
};
inline constexpr HostKind ALL_HOST_KINDS[] = {
    HostKind::EXT4, HostKind::EXFAT, HostKind::NTFS_CASE_SENSITIVE,
    HostKind::NTFS_IGNORE_CASE, HostKind::SSHFS};

// A short name of `kind` for test messages, such as "exfat".
const char* host_kind_name(HostKind kind);

// The file system type that /proc/self/mountinfo lists for a host of `kind`.
const char* host_mount_type(HostKind kind);

// Why `kind` cannot be mounted here (not root, no FUSE, no free loop device, a
// missing tool), or "" when it can.
std::string host_unavailable_reason(HostKind kind);

// Whether the loop device `device` is still bound to the file `image`.
bool loop_holds_image(const std::string& device, const std::string& image);

// A fresh, empty 64 MiB file system of `kind` on a loop device, mounted on a
// folder every user may write to; for SSHFS a fresh folder of an ssh server
// that is started for it alone, on a free local port with keys made for it,
// mounted with sshfs for the current user. Each failed step is reported with
// ADD_FAILURE and leaves mounted() false. The destructor unmounts, detaches
// the loop device or stops the server, and removes the image or the folder,
// also when the test failed.
class MountedHost {
 public:
  explicit MountedHost(HostKind kind);
  ~MountedHost();
  MountedHost(const MountedHost&) = delete;
  MountedHost& operator=(const MountedHost&) = delete;

  // Unmounts and mounts again, so that what a FUSE driver kept in memory has
  // to come back from the disk; returns whether the file system is mounted.
  bool remount();

  bool mounted() const { return mounted_; }
  const std::string& root() const { return root_; }  // the mount point
  // Where the data lies: the image, or the folder the ssh server serves.
  const std::string& image() const { return image_; }
  const std::string& loop_device() const { return device_; }  // or ""
  pid_t server() const { return server_; }  // the ssh server, or -1

 private:
  bool mount();
  bool start_server();

  HostKind kind_;
  // Holds the image or the served folder, the mount point, the tools' log,
  // and the ssh server's keys and configuration.
  std::string dir_;
  std::string image_;
  std::string root_;
  std::string device_;
  int loop_fd_ = -1;
  pid_t server_ = -1;
  bool mounted_ = false;
};

#endif  // KELVODA_HOST_FS_HPP_
