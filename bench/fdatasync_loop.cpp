// The floor of a durable commit on this disk: append 1 KB to a file in
// FOLDER and fdatasync it, COUNT times; prints the time of one.
//   fdatasync_loop FOLDER [COUNT]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fdatasync_loop FOLDER [COUNT]\n");
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/fdatasync_loop.data";
  const int count = argc > 2 ? std::atoi(argv[2]) : 200;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    return 1;
  }
  const std::string block(1024, 'k');
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()) || ::fdatasync(fd) != 0) {
      std::perror(path.c_str());
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  ::close(fd);
  ::unlink(path.c_str());
  std::printf("%.3f ms a 1 KB append and fdatasync (%d in %.3f s)\n", seconds * 1000 / count, count, seconds);
  return 0;
}
