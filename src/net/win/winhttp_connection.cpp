#include "net/win/winhttp_connection.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/text.h"
#include "net/win/winhttp_error.h"
#include "system/errors.h"
#include "system/files.h"

namespace Platform {
namespace {

// Writes go out in large blocks: a chunk from WinHTTP is only 8 or 16 KiB.
constexpr size_t kWriteBlock = 1 << 20;

class Win32OutputFile : public OutputFile {
 public:
  Win32OutputFile(HANDLE file, std::wstring path) : file_(file), path_(std::move(path)) {
    buffer_.reserve(kWriteBlock);
  }
  ~Win32OutputFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  void Write(const uint8_t* data, size_t size) override {
    if (buffer_.size() + size > kWriteBlock) Flush();
    if (size >= kWriteBlock) {
      WriteAll(data, size);
    } else {
      buffer_.insert(buffer_.end(), data, data + size);
    }
  }

  void Close() override {
    Flush();
    const HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(file)) Errors::ThrowSystem(GetLastError(), Message());
  }

 private:
  void Flush() {
    WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  void WriteAll(const uint8_t* data, size_t size) {
    while (size > 0) {
      const DWORD part = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file_, data, part, &written, nullptr)) Errors::ThrowSystem(GetLastError(), Message());
      if (written == 0) Errors::ThrowSystem(ERROR_WRITE_FAULT, Message());
      data += written;
      size -= written;
    }
  }
  std::string Message() const { return fmt::format("Unable to write downloaded file \"{}\"", Text::ToUtf8(path_)); }

  HANDLE file_;
  std::wstring path_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

bool WinHttpConnection::Check(BOOL result) {
  if (!result) error_ = GetLastError();
  return result != FALSE;
}

// Pointer mode: every part is handed back as a range of the URL itself, so
// no part is too long (signed CDN URLs carry kilobytes of query).
bool WinHttpConnection::CrackUrl(std::wstring_view url, UrlParts& parts) {
  constexpr DWORD kPointTo = static_cast<DWORD>(-1);
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  components.dwSchemeLength = kPointTo;
  components.dwHostNameLength = kPointTo;
  components.dwUserNameLength = kPointTo;
  components.dwPasswordLength = kPointTo;
  components.dwUrlPathLength = kPointTo;
  components.dwExtraInfoLength = kPointTo;
  const std::wstring text(url);
  if (!Check(WinHttpCrackUrl(text.c_str(), static_cast<DWORD>(text.size()), 0, &components))) return false;
  const auto part = [](const wchar_t* start, DWORD length) {
    return start == nullptr ? std::wstring() : std::wstring(start, length);
  };
  parts.scheme = part(components.lpszScheme, components.dwSchemeLength);
  parts.host = part(components.lpszHostName, components.dwHostNameLength);
  parts.port = components.nPort;
  parts.path = part(components.lpszUrlPath, components.dwUrlPathLength);
  parts.extra = part(components.lpszExtraInfo, components.dwExtraInfoLength);
  parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

bool WinHttpConnection::Connect(const UrlParts& parts) {
  connection_ = WinHttpConnect(session_, parts.host.c_str(), parts.port, 0);
  return Check(connection_ != nullptr);
}

bool WinHttpConnection::OpenRequest(std::wstring_view verb, std::wstring_view object, bool secure) {
  const std::wstring verbText(verb), objectText(object);
  request_ = WinHttpOpenRequest(connection_, verbText.c_str(), objectText.c_str(), nullptr, WINHTTP_NO_REFERER,
                                WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
  return Check(request_ != nullptr);
}

bool WinHttpConnection::SendRequest() {
  return Check(WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0));
}

bool WinHttpConnection::ReceiveResponse() { return Check(WinHttpReceiveResponse(request_, nullptr)); }

bool WinHttpConnection::QueryStatus(uint32_t& status) {
  DWORD value = 0, size = sizeof(value);
  if (!Check(WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX))) {
    return false;
  }
  status = value;
  return true;
}

bool WinHttpConnection::QueryRawHeaders(std::wstring& headers) {
  DWORD size = 0;
  WinHttpQueryHeaders(request_, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                      &size, WINHTTP_NO_HEADER_INDEX);
  headers.assign(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(headers.size() * sizeof(wchar_t));
  if (!Check(WinHttpQueryHeaders(request_, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, headers.data(),
                                 &size, WINHTTP_NO_HEADER_INDEX))) {
    return false;
  }
  headers.resize(size / sizeof(wchar_t));
  return true;
}

bool WinHttpConnection::QueryDataAvailable(uint32_t& available) {
  DWORD value = 0;
  if (!Check(WinHttpQueryDataAvailable(request_, &value))) return false;
  available = value;
  return true;
}

bool WinHttpConnection::ReadData(uint8_t* buffer, uint32_t size, uint32_t& read) {
  DWORD value = 0;
  if (!Check(WinHttpReadData(request_, buffer, size, &value))) return false;
  read = value;
  return true;
}

void WinHttpConnection::Close() {
  if (request_ != nullptr) WinHttpCloseHandle(std::exchange(request_, nullptr));
  if (connection_ != nullptr) WinHttpCloseHandle(std::exchange(connection_, nullptr));
}

void WinHttpConnection::Fail(const std::string& message) { throw WinHttpError(error_, message); }

std::unique_ptr<OutputFile> WinHttpConnection::OpenOutputFile(std::wstring_view path) {
  const std::wstring name(path);
  const std::string message = fmt::format("Unable to open download file \"{}\"", Text::ToUtf8(name));
  // Never written through what was there before (a link or a second name of
  // another file planted in a folder others may write): the old entry goes,
  // and a name that reappears in between makes the creation fail.
  try {
    RemoveFile(name);
  } catch (const std::system_error& error) {
    Errors::ThrowSystem(static_cast<uint32_t>(error.code().value()), message);
  }
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) Errors::ThrowSystem(GetLastError(), message);
  return std::make_unique<Win32OutputFile>(file, name);
}

}  // namespace Platform
