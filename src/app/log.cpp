#include "app/log.h"

#include <cstdarg>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <tuple>

#include "app/text.h"
#include "system/files.h"

namespace SetupLog {
namespace {

std::mutex g_lock;
FILE* g_file = nullptr;

const char* LevelName(Level level) {
  switch (level) {
    case Level::Info: return "INFO";
    case Level::Warning: return "WARNING";
    case Level::Error: return "ERROR";
  }
  return "?";
}

// The verify task adds to the log every few minutes for as long as the
// product is installed: past this size it becomes "<name>.1.log" (replacing
// an older one) and a new log starts.
constexpr uintmax_t kRotateBytes = 4u << 20;

std::filesystem::path PathOf(std::wstring_view path) {
  const std::string utf8 = Text::ToUtf8(path);
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

void RotateWhenLarge(std::wstring_view path) {
  std::error_code error;
  const std::filesystem::path current = PathOf(path);
  // A link planted at the name is moved aside itself, never followed.
  const std::filesystem::file_status status = std::filesystem::symlink_status(current, error);
  if (error || !std::filesystem::is_regular_file(status)) return;
  const uintmax_t size = std::filesystem::file_size(current, error);
  if (error || size < kRotateBytes) return;
  std::filesystem::path rotated = current;
  rotated.replace_extension(".1" + current.extension().string());
  std::filesystem::rename(current, rotated, error);
}

}  // namespace

void OpenPath(std::wstring_view path) {
  Close();
  RotateWhenLarge(path);
  // The log lives in the temporary folder, where others may plant links.
  FILE* file = OpenAppendWithoutLinks(path);
  std::lock_guard guard(g_lock);
  g_file = file;
}

void Open(std::wstring_view fileName) { OpenPath(GetTempDirectory() + std::wstring(fileName)); }

void Close() {
  // Taking the lock keeps a late write from another thread off a closed stream.
  std::lock_guard guard(g_lock);
  if (g_file) {
    std::fclose(g_file);
    g_file = nullptr;
  }
}

bool IsOpen() {
  std::lock_guard guard(g_lock);
  return g_file != nullptr;
}

void WriteLine(Level level, std::string_view message) {
  std::lock_guard guard(g_lock);
  if (!g_file) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  std::fprintf(g_file, "[%7s] [%d-%02d-%02d %02d:%02d:%02d] ", LevelName(level), local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::fwrite(message.data(), 1, message.size(), g_file);
  std::fputc('\n', g_file);
  std::fflush(g_file);
}

namespace detail {

std::string NarrowFormat(const char* format) {
  std::string out(format);
  for (size_t i = 0; i + 1 < out.size(); ++i) {
    if (out[i] != '%') continue;
    if (out[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < out.size() && std::string_view("-+ #0123456789.").find(out[j]) != std::string_view::npos) ++j;
    if (j < out.size() && out[j] == 'S') out[j] = 's';
    i = j;
  }
  return out;
}

std::string FormatV(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (size > 0) {
    out.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(size));
  }
#pragma GCC diagnostic pop
  va_end(args);
  return out;
}

}  // namespace detail
}  // namespace SetupLog
