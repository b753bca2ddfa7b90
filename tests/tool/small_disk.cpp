#include "tests/tool/small_disk.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tests/test_support.h"

namespace kaldo::tool::testing {

std::optional<std::string> in_own_tmpfs(const std::string& mountpoint, const std::function<std::string()>& body,
                                        std::string* unavailable) {
  // The child leaves what it has to say in files off the tmpfs.
  temp_dir scratch;
  const std::string said = scratch.path() + "/";
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mountpoint.c_str(), "tmpfs", 0, "size=64m") != 0) {
      scratch.write("unavailable", std::string("mount: ") + std::strerror(errno));
      _exit(0);
    }
    scratch.write("result", body());
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  if (std::filesystem::exists(said + "unavailable")) {
    *unavailable = read_file(said + "unavailable");
    return std::nullopt;
  }
  if (!std::filesystem::exists(said + "result")) {
    *unavailable = "the child ended without a result";
    return std::nullopt;
  }
  return read_file(said + "result");
}

bool leave_room(const std::string& mountpoint, std::size_t room) {
  struct statvfs disk {};
  if (statvfs(mountpoint.c_str(), &disk) != 0) return false;
  const std::size_t used = disk.f_blocks - disk.f_bfree;
  return mount("tmpfs", mountpoint.c_str(), "tmpfs", MS_REMOUNT,
               ("size=" + std::to_string((used + room) * tmpfs_page)).c_str()) == 0;
}

}  // namespace kaldo::tool::testing
