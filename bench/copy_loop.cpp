// The floor for kaldo convert on a folder of files: the same walk (names in
// byte order), each file read whole and an output of the same size written
// beside the others, with nothing decoded. One thread.
//   copy_loop OUTPUT_FOLDER INPUT_FOLDER
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::size_t files = 0;

bool copy_file(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  char buffer[64 * 1024];
  std::string bytes;
  ssize_t got;
  while ((got = ::read(in, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(got));
  ::close(in);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) return false;
  const bool written = ::write(out, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(out) == 0 && written;
}

void walk(const std::string& folder, const std::string& output) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      walk(path, output);
    } else if (S_ISREG(info.st_mode) && copy_file(path, output + "/" + name + ".txt")) {
      ++files;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: copy_loop OUTPUT_FOLDER INPUT_FOLDER\n");
    return 2;
  }
  ::mkdir(argv[1], 0777);
  walk(argv[2], argv[1]);
  std::printf("%zu files\n", files);
  return 0;
}
