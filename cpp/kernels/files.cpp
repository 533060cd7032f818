#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <random>
#include <thread>

#include "store_errors.hpp"

namespace morvane::kernels {

namespace {

[[noreturn]] void fail(const std::string& action, const std::string& path) {
  const int error_number = errno;
  throw IoError(error_number, path,
                action + " 失败: " + path + " (" + std::strerror(error_number) + ")");
}

int open_checked(const std::string& path, int flags, const char* action) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fail(action, path);
  return fd;
}

constexpr std::size_t kMaxIo = std::size_t{1} << 30;  // Linux caps one call near 2 GiB

// Runs `io` (pread or pwrite) over the whole span in chunks of at most kMaxIo,
// retrying on EINTR; a call that moves no byte ends the loop early and
// returns the count done so far.
template <typename Byte, typename Io>
std::size_t transfer_all(std::span<Byte> bytes, std::uint64_t offset, Io io, const char* what,
                         const std::string& path) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t chunk = std::min(bytes.size() - done, kMaxIo);
    const ssize_t moved = io(bytes.data() + done, chunk, static_cast<off_t>(offset + done));
    if (moved < 0) {
      if (errno == EINTR) continue;
      fail(what, path);
    }
    if (moved == 0) break;
    done += static_cast<std::size_t>(moved);
  }
  return done;
}

}  // namespace

File File::open_read(const std::string& path) {
  return File(open_checked(path, O_RDONLY, "打开文件"), path);
}

File File::open_write(const std::string& path) {
  return File(open_checked(path, O_RDWR, "打开文件写入"), path);
}

File File::create(const std::string& path) {
  return File(open_checked(path, O_RDWR | O_CREAT | O_EXCL, "创建文件"), path);
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t File::size() const {
  struct stat info{};
  if (::fstat(fd_, &info) != 0) fail("读取文件大小", path_);
  return static_cast<std::uint64_t>(info.st_size);
}

bool File::is_regular() const {
  struct stat info{};
  if (::fstat(fd_, &info) != 0) fail("读取文件信息", path_);
  return S_ISREG(info.st_mode);
}

void File::read_exact(std::uint64_t offset, std::span<std::byte> out) const {
  const auto pread = [this](std::byte* at, std::size_t size, off_t from) {
    return ::pread(fd_, at, size, from);
  };
  if (transfer_all(out, offset, pread, "读取文件", path_) < out.size()) {
    throw FormatError("文件比记录的短, 数据不完整: " + path_);
  }
}

void File::write_all(std::uint64_t offset, std::span<const std::byte> data) const {
  const auto pwrite = [this](const std::byte* at, std::size_t size, off_t from) {
    return ::pwrite(fd_, at, size, from);
  };
  if (transfer_all(data, offset, pwrite, "写入文件", path_) < data.size()) {
    errno = EIO;  // a write that takes no byte and reports no error
    fail("写入文件", path_);
  }
}

void File::grow_to(std::uint64_t size) const {
  if (size <= this->size()) return;
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) fail("扩展文件", path_);
}

void File::sync() const {
  if (::fsync(fd_) != 0) fail("同步文件到磁盘", path_);
}

std::shared_ptr<const Mapping> Mapping::map(const File& file) {
  const std::uint64_t size = file.size();
  if (size == 0) return std::shared_ptr<const Mapping>(new Mapping(nullptr, 0));
  // The descriptor whose header was checked, not the path again: a file
  // renamed over it meanwhile must not be mapped in its place.
  void* const address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd_, 0);
  if (address == MAP_FAILED) fail("映射文件", file.path());
  return std::shared_ptr<const Mapping>(
      new Mapping(static_cast<const std::byte*>(address), static_cast<std::size_t>(size)));
}

void Mapping::populate(std::uint64_t offset, std::uint64_t length) const {
#ifdef MADV_POPULATE_READ
  constexpr std::uint64_t kPage = 4096;
  const std::uint64_t end = std::min<std::uint64_t>(offset + length, size_);
  const std::uint64_t from = offset / kPage * kPage;
  if (from >= end) return;
  ::madvise(const_cast<std::byte*>(data_) + from, end - from, MADV_POPULATE_READ);
#else
  (void)offset;
  (void)length;
#endif
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(const_cast<std::byte*>(data_), size_);
}

PageBuffer::PageBuffer(std::size_t size) : size_(size) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  // Small tables stay in ordinary pages: a huge page would hold 2 MiB each.
  const bool huge = size >= 2 * kHugePage;
  const std::size_t page = huge ? kHugePage : 4096;
  mapped_ = std::max<std::size_t>((size + page - 1) / page * page, page);
  void* const address =
      ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) fail("分配内存", "(匿名映射)");
  // Only advice: without huge pages the buffer works the same, just slower.
  if (huge) ::madvise(address, mapped_, MADV_HUGEPAGE);
  data_ = static_cast<std::byte*>(address);
}

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) ::munmap(data_, mapped_);
}

std::optional<FileLock> FileLock::try_acquire(const std::string& path) {
  const int fd = open_checked(path, O_RDWR | O_CREAT, "打开锁文件");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error_number = errno;
    ::close(fd);
    if (error_number == EWOULDBLOCK) return std::nullopt;
    errno = error_number;
    fail("加锁", path);
  }
  return FileLock(fd);
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the flock
}

void sync_files(std::span<const File* const> files) {
  constexpr std::size_t kMaxThreads = 16;
  const std::size_t threads = std::min(files.size(), kMaxThreads);
  if (threads <= 1) {
    for (const File* file : files) file->sync();
    return;
  }
  std::atomic<std::size_t> next{0};
  std::exception_ptr first_error;
  std::mutex error_lock;
  {
    std::vector<std::jthread> workers;
    workers.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        for (std::size_t k = next++; k < files.size(); k = next++) {
          try {
            files[k]->sync();
          } catch (...) {
            const std::lock_guard guard(error_lock);
            if (!first_error) first_error = std::current_exception();
          }
        }
      });
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

bool path_exists(const std::string& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0;
}

std::string read_whole_file(const std::string& path) {
  const File file = File::open_read(path);
  std::string bytes(file.size(), '\0');
  file.read_exact(0, std::as_writable_bytes(std::span(bytes.data(), bytes.size())));
  return bytes;
}

std::vector<std::string> list_directory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* const handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    if (errno == ENOENT) return names;
    fail("列出目录", dir);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> guard(handle, &::closedir);
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

void make_directories(const std::string& dir) {
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) fail("创建目录", partial);
  }
}

void sync_directory(const std::string& dir) {
  const int fd = open_checked(dir, O_RDONLY | O_DIRECTORY, "打开目录");
  const int status = ::fsync(fd);
  const int error_number = errno;
  ::close(fd);
  if (status != 0) {
    errno = error_number;
    fail("同步目录到磁盘", dir);
  }
}

void rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) fail("重命名文件", from);
}

void remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("删除文件", path);
}

std::string random_hex(std::size_t digits) {
  std::random_device device;
  std::string text;
  text.reserve(digits);
  constexpr char kDigits[] = "0123456789abcdef";
  while (text.size() < digits) {
    std::uint32_t bits = device();
    for (int k = 0; k < 8 && text.size() < digits; ++k, bits >>= 4) text += kDigits[bits & 15u];
  }
  return text;
}

std::string temporary_name(const std::string& name) {
  return ".tmp-" + random_hex(12) + "-" + name;
}

bool is_temporary_name(const std::string& name) { return name.rfind(".tmp-", 0) == 0; }

void write_file_atomic(const std::string& dir, const std::string& name, std::string_view bytes) {
  const std::string temporary = dir + "/" + temporary_name(name);
  try {
    const File file = File::create(temporary);
    file.write_all(0, std::as_bytes(std::span(bytes.data(), bytes.size())));
    file.sync();
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  rename_file(temporary, dir + "/" + name);
  sync_directory(dir);
}

void write_files_atomic(const std::string& dir, std::span<const NamedBytes> files) {
  std::vector<std::string> temporaries;
  try {
    std::vector<File> written;
    for (const NamedBytes& file : files) {
      temporaries.push_back(dir + "/" + temporary_name(file.name));
      written.push_back(File::create(temporaries.back()));
      written.back().write_all(0, std::as_bytes(std::span(file.bytes.data(), file.bytes.size())));
    }
    std::vector<const File*> to_sync;
    for (const File& file : written) to_sync.push_back(&file);
    sync_files(to_sync);
  } catch (...) {
    for (const std::string& temporary : temporaries) ::unlink(temporary.c_str());
    throw;
  }
  for (std::size_t k = 0; k < files.size(); ++k) {
    rename_file(temporaries[k], dir + "/" + files[k].name);
  }
  sync_directory(dir);
}

}  // namespace morvane::kernels
