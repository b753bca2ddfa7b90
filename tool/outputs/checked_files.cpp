#include "tool/outputs/checked_files.h"

#include <cpl_vsi_virtual.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace kaldo::tool {
namespace {

// GDAL finds a handler by the start of a name; ours ends before the
// plain path's own leading slash.
constexpr char prefix[] = "/vsikaldo";
constexpr std::size_t prefix_length = sizeof prefix - 1;

std::string plain(const char* name) {
  const std::string text = name;
  return text.compare(0, prefix_length + 1, std::string(prefix) + "/") == 0
             ? text.substr(prefix_length)
             : text;
}

VSIFilesystemHandler& handler_for(const std::string& file) {
  return *VSIFileManager::GetHandler(file.c_str());
}

std::mutex failures_mutex;

std::vector<write_failure>& failures() {
  static std::vector<write_failure> list;
  return list;
}

// Keeps the first failure of a file: what follows a short write is often
// only its consequence.
void record(const std::string& file, int code, const char* without_errno) {
  std::lock_guard lock(failures_mutex);
  for (const write_failure& known : failures()) {
    if (known.path == file) return;
  }
  failures().push_back(
      {file, code != 0 ? std::error_code(code, std::generic_category()).message() : without_errno});
}

class checked_handle final : public VSIVirtualHandle {
 public:
  checked_handle(VSIVirtualHandle* inner, std::string file)
      : inner_(inner), file_(std::move(file)) {}
  // GDAL closes a handle before deleting it; one deleted unclosed still
  // has its last bytes checked.
  ~checked_handle() override { Close(); }
  checked_handle(const checked_handle&) = delete;
  checked_handle& operator=(const checked_handle&) = delete;

  int Seek(vsi_l_offset offset, int whence) override {
    errno = 0;
    const int result = inner_->Seek(offset, whence);
    // A buffered handle writes what it holds before it moves: after a
    // write, a failed seek is that write's failure.
    if (result != 0 && wrote_) record(file_, errno, "cannot seek");
    return result;
  }
  vsi_l_offset Tell() override { return inner_->Tell(); }
  size_t Read(void* buffer, size_t size, size_t count) override {
    return inner_->Read(buffer, size, count);
  }
  int ReadMultiRange(int ranges, void** data, const vsi_l_offset* offsets,
                     const size_t* sizes) override {
    return inner_->ReadMultiRange(ranges, data, offsets, sizes);
  }
  size_t Write(const void* buffer, size_t size, size_t count) override {
    errno = 0;
    wrote_ = true;
    const size_t written = inner_->Write(buffer, size, count);
    if (size != 0 && written < count) record(file_, errno, "a write was cut short");
    return written;
  }
  int Eof() override { return inner_->Eof(); }
  int Flush() override {
    errno = 0;
    const int result = inner_->Flush();
    if (result != 0) record(file_, errno, "cannot be flushed");
    return result;
  }
  int Close() override {
    if (inner_ == nullptr) return 0;
    errno = 0;
    const int result = inner_->Close();
    const int code = errno;
    inner_.reset();
    if (result != 0) record(file_, code, "cannot be closed");
    return result;
  }
  int Truncate(vsi_l_offset size) override {
    errno = 0;
    const int result = inner_->Truncate(size);
    if (result != 0) record(file_, errno, "cannot be truncated");
    return result;
  }
  void* GetNativeFileDescriptor() override { return inner_->GetNativeFileDescriptor(); }
  VSIRangeStatus GetRangeStatus(vsi_l_offset offset, vsi_l_offset length) override {
    return inner_->GetRangeStatus(offset, length);
  }
  bool HasPRead() const override { return inner_->HasPRead(); }
  size_t PRead(void* buffer, size_t size, vsi_l_offset offset) const override {
    return inner_->PRead(buffer, size, offset);
  }

 private:
  std::unique_ptr<VSIVirtualHandle> inner_;
  std::string file_;
  bool wrote_ = false;
};

// Every call is the plain handler's, on the plain path; only the handles
// it opens are wrapped.
class checked_filesystem final : public VSIFilesystemHandler {
 public:
  using VSIFilesystemHandler::Open;
  VSIVirtualHandle* Open(const char* name, const char* access, bool set_error,
                         CSLConstList options) override {
    const std::string file = plain(name);
    VSIVirtualHandle* inner = handler_for(file).Open(file.c_str(), access, set_error, options);
    return inner == nullptr ? nullptr : new checked_handle(inner, file);
  }
  int Stat(const char* name, VSIStatBufL* stat, int flags) override {
    const std::string file = plain(name);
    return handler_for(file).Stat(file.c_str(), stat, flags);
  }
  int Unlink(const char* name) override {
    const std::string file = plain(name);
    return handler_for(file).Unlink(file.c_str());
  }
  int Mkdir(const char* name, long mode) override {
    const std::string file = plain(name);
    return handler_for(file).Mkdir(file.c_str(), mode);
  }
  int Rmdir(const char* name) override {
    const std::string file = plain(name);
    return handler_for(file).Rmdir(file.c_str());
  }
  char** ReadDir(const char* name) override { return ReadDirEx(name, 0); }
  char** ReadDirEx(const char* name, int most) override {
    const std::string file = plain(name);
    return handler_for(file).ReadDirEx(file.c_str(), most);
  }
  char** SiblingFiles(const char* name) override {
    const std::string file = plain(name);
    return handler_for(file).SiblingFiles(file.c_str());
  }
  int Rename(const char* from, const char* to) override {
    const std::string file = plain(from);
    return handler_for(file).Rename(file.c_str(), plain(to).c_str());
  }
  int IsCaseSensitive(const char* name) override {
    const std::string file = plain(name);
    return handler_for(file).IsCaseSensitive(file.c_str());
  }
  GIntBig GetDiskFreeSpace(const char* name) override {
    const std::string file = plain(name);
    return handler_for(file).GetDiskFreeSpace(file.c_str());
  }
  int SupportsSparseFiles(const char* name) override {
    const std::string file = plain(name);
    return handler_for(file).SupportsSparseFiles(file.c_str());
  }
};

std::string normal(const std::string& path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

bool under(const std::string& file, const std::string& folder) {
  return file.size() > folder.size() && file.compare(0, folder.size(), folder) == 0 &&
         (folder.ends_with('/') || file[folder.size()] == '/');
}

}  // namespace

std::string checked_path(const std::string& path) {
  static std::once_flag installed;
  // GDAL's file manager owns the handler from here on.
  std::call_once(installed, [] {
    VSIFileManager::InstallHandler(std::string(prefix) + "/", new checked_filesystem);
  });
  return prefix + normal(path);
}

std::optional<write_failure> write_failure_under(const std::string& folder) {
  const std::string root = normal(folder);
  std::lock_guard lock(failures_mutex);
  for (const write_failure& failure : failures()) {
    if (under(failure.path, root)) return failure;
  }
  return std::nullopt;
}

void forget_write_failures_under(const std::string& folder) {
  const std::string root = normal(folder);
  std::lock_guard lock(failures_mutex);
  std::erase_if(failures(),
                [&](const write_failure& failure) { return under(failure.path, root); });
}

}  // namespace kaldo::tool
