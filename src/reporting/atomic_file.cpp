#include "reporting/atomic_file.h"

#include <fmt/format.h>

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Reporting {
namespace fs = std::filesystem;
namespace {

// The folder is the user's own, and so are its files: a program of the user
// may plant a link or a second name (hard link) at any file name in it, to
// make the setup write or read (and send) another file. So a file is only
// ever created new, failing on any existing name, a link included, and only
// opened when it is the one name of a plain file; no open follows a link.
class RawFile {
 public:
  RawFile() = default;
  ~RawFile() { Close(); }
#ifdef _WIN32
  RawFile(RawFile&& other) noexcept : open_(other.open_), handle_(other.handle_) { other.open_ = false; }
#else
  RawFile(RawFile&& other) noexcept : open_(other.open_), descriptor_(other.descriptor_) { other.open_ = false; }
#endif
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  RawFile& operator=(RawFile&&) = delete;

  explicit operator bool() const { return open_; }

  static RawFile CreateNew(const fs::path& path) {
    RawFile file;
#ifdef _WIN32
    file.handle_ = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    file.open_ = file.handle_ != INVALID_HANDLE_VALUE;
#else
    file.descriptor_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    file.open_ = file.descriptor_ >= 0;
#endif
    return file;
  }

  // Sets `size`; refuses a link, a folder and a file with a second name.
  static RawFile OpenExisting(const fs::path& path, uint64_t& size) {
    RawFile file;
#ifdef _WIN32
    file.handle_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    file.open_ = file.handle_ != INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info{};
    // The name is asked too: a link made from the host's side under Wine
    // shows as one only there.
    const DWORD named = GetFileAttributesW(path.c_str());
    if (!file.open_ || !GetFileInformationByHandle(file.handle_, &info) || info.nNumberOfLinks != 1 ||
        ((info.dwFileAttributes | named) & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      file.Close();
      return file;
    }
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
#else
    file.descriptor_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    file.open_ = file.descriptor_ >= 0;
    struct stat info {};
    if (!file.open_ || ::fstat(file.descriptor_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
      file.Close();
      return file;
    }
    size = static_cast<uint64_t>(info.st_size);
#endif
    return file;
  }

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const size_t piece = std::min<size_t>(bytes.size(), 1u << 20);
#ifdef _WIN32
      DWORD written = 0;
      if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(piece), &written, nullptr) || written == 0) return false;
#else
      const ssize_t written = ::write(descriptor_, bytes.data(), piece);
      if (written <= 0) return false;
#endif
      bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
  }

  // Exactly `size` bytes, or nothing.
  std::optional<std::string> Read(uint64_t size) {
    std::string text(static_cast<size_t>(size), '\0');
    size_t at = 0;
    while (at < text.size()) {
      const size_t piece = std::min<size_t>(text.size() - at, 1u << 20);
#ifdef _WIN32
      DWORD read = 0;
      if (!ReadFile(handle_, text.data() + at, static_cast<DWORD>(piece), &read, nullptr) || read == 0) return {};
#else
      const ssize_t read = ::read(descriptor_, text.data() + at, piece);
      if (read <= 0) return {};
#endif
      at += static_cast<size_t>(read);
    }
    return text;
  }

  bool Close() {
    if (!open_) return true;
    open_ = false;
#ifdef _WIN32
    return CloseHandle(handle_) != FALSE;
#else
    return ::close(descriptor_) == 0;
#endif
  }

 private:
  bool open_ = false;
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int descriptor_ = -1;
#endif
};

uint64_t ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<uint64_t>(::getpid());
#endif
}

std::atomic<uint32_t> g_sequence{0};

}  // namespace

bool WriteFileAtomically(const fs::path& target, std::string_view bytes) {
  // A name of this process's own: a name planted beforehand (a link where the
  // temporary file would go) is never opened, and a stale one is passed by.
  for (int attempt = 0; attempt < 16; ++attempt) {
    fs::path temp = target;
    temp += fmt::format(".{}-{}.tmp", ProcessId(), g_sequence.fetch_add(1));
    RawFile file = RawFile::CreateNew(temp);
    if (!file) continue;
    const bool written = file.Write(bytes);
    std::error_code error;
    if (!file.Close() || !written) {
      fs::remove(temp, error);
      return false;
    }
    // A rename replaces whatever has the target's name, a link itself
    // included, never what a link points to.
    fs::rename(temp, target, error);
    if (!error) return true;
    fs::remove(temp, error);
    return false;
  }
  return false;
}

std::optional<std::string> ReadFileUpTo(const fs::path& file, uint64_t cap) {
  {
    uint64_t size = 0;
    RawFile in = RawFile::OpenExisting(file, size);
    if (!in) return std::nullopt;
    if (size <= cap) return in.Read(size);
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  return std::nullopt;
}

}  // namespace Reporting
