// The double's HTTP server: requests made through Platform::CreateHttpRequest
// are answered from a table of URLs, through the same transfer logic that
// runs over WinHTTP. Every step can also fail by Double::InjectFault with the
// WinHTTP function's name ("WinHttpSendRequest", "WinHttpReadData", ...).
#include "double/http.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "app/text.h"
#include "double/double.h"
#include "net/http.h"
#include "net/http_request.h"
#include "system/errors.h"
#include "system/files.h"

namespace Double::Http {
namespace {

constexpr uint32_t kUnrecognizedScheme = 12006;
constexpr uint32_t kChunk = 8192;  // what WinHTTP hands out per read over http

struct Server {
  std::mutex lock;
  std::map<std::wstring, Response> responses;
  std::vector<std::wstring> requests;
};

Server& GetServer() {
  static Server server;
  return server;
}

[[maybe_unused]] const bool registered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(GetServer().lock);
    GetServer().responses.clear();
    GetServer().requests.clear();
  });
  return true;
}();

// Stores the file in the double's file system after every chunk, so a
// transfer that fails half-way leaves what it wrote, as on disk.
class MemoryOutputFile : public Platform::OutputFile {
 public:
  explicit MemoryOutputFile(std::wstring path) : path_(std::move(path)) {}
  void Write(const uint8_t* data, size_t size) override {
    if (auto error = Double::TakeFault("WriteFile")) {
      Errors::ThrowSystem(*error, "Unable to write downloaded file \"" + Text::ToUtf8(path_) + "\"");
    }
    bytes_.append(reinterpret_cast<const char*>(data), size);
    if (!WriteFileBytes(path_, bytes_)) {
      throw std::runtime_error("Unable to write downloaded file \"" + Text::ToUtf8(path_) + "\"");
    }
  }
  void Close() override {}

 private:
  std::wstring path_;
  std::string bytes_;
};

class MemoryConnection : public Platform::HttpConnection {
 public:
  bool CrackUrl(std::wstring_view url, Platform::UrlParts& parts) override {
    if (Fault("WinHttpCrackUrl")) return false;
    const size_t schemeEnd = url.find(L"://");
    if (schemeEnd == std::wstring_view::npos) return Error(kUnrecognizedScheme);
    parts.scheme = url.substr(0, schemeEnd);
    if (parts.scheme != L"http" && parts.scheme != L"https") return Error(kUnrecognizedScheme);
    parts.secure = parts.scheme == L"https";
    std::wstring_view rest = url.substr(schemeEnd + 3);
    const size_t pathStart = std::min(rest.find_first_of(L"/?"), rest.size());
    std::wstring_view authority = rest.substr(0, pathStart);
    std::wstring_view object = rest.substr(pathStart);
    parts.port = parts.secure ? 443 : 80;
    if (const size_t colon = authority.find(L':'); colon != std::wstring_view::npos) {
      parts.port = static_cast<uint16_t>(std::stoul(std::wstring(authority.substr(colon + 1))));
      authority = authority.substr(0, colon);
    }
    parts.host = authority;
    const size_t query = object.find(L'?');
    parts.path = object.substr(0, query);
    parts.extra = query == std::wstring_view::npos ? std::wstring_view{} : object.substr(query);
    if (parts.path.empty()) parts.path = L"/";
    // Answered by path, as a file server does: the query does not count.
    url_ = url.substr(0, url.size() - parts.extra.size());
    return true;
  }
  bool Connect(const Platform::UrlParts&) override {
    if (Fault("WinHttpConnect")) return false;
    connected_ = true;
    return true;
  }
  bool OpenRequest(std::wstring_view, std::wstring_view, bool) override { return !Fault("WinHttpOpenRequest"); }
  bool SendRequest() override {
    {
      std::lock_guard guard(GetServer().lock);
      GetServer().requests.push_back(url_);
      auto found = GetServer().responses.find(url_);
      response_ = found != GetServer().responses.end() ? found->second : Response{404, "Not Found"};
    }
    if (Fault("WinHttpSendRequest")) return false;
    if (response_.transportError != 0) return Error(response_.transportError);
    available_ = response_.body.size();
    if (response_.cutAfter >= 0) available_ = std::min<size_t>(available_, response_.cutAfter);
    return true;
  }
  bool ReceiveResponse() override { return !Fault("WinHttpReceiveResponse"); }
  bool QueryStatus(uint32_t& status) override {
    if (Fault("WinHttpQueryHeaders.Status")) return false;
    status = response_.status;
    return true;
  }
  bool QueryRawHeaders(std::wstring& headers) override {
    if (Fault("WinHttpQueryHeaders")) return false;
    headers = L"HTTP/1.1 " + std::to_wstring(response_.status) + L" Double\r\n";
    if (response_.sendContentLength) {
      const uint64_t length =
          response_.announcedLength >= 0 ? static_cast<uint64_t>(response_.announcedLength) : response_.body.size();
      headers += L"Content-Length: " + std::to_wstring(length) + L"\r\n";
    } else {
      headers += L"Transfer-Encoding: chunked\r\n";
    }
    headers += L"\r\n";
    return true;
  }
  bool QueryDataAvailable(uint32_t& available) override {
    if (Fault("WinHttpQueryDataAvailable")) return false;
    available = static_cast<uint32_t>(std::min<size_t>(available_ - offset_, kChunk));
    return true;
  }
  bool ReadData(uint8_t* buffer, uint32_t size, uint32_t& read) override {
    if (Fault("WinHttpReadData")) return false;
    read = static_cast<uint32_t>(std::min<size_t>(size, available_ - offset_));
    std::copy_n(response_.body.data() + offset_, read, buffer);
    offset_ += read;
    return true;
  }
  void Close() override {
    connected_ = false;
    offset_ = available_ = 0;
  }
  bool IsConnected() const override { return connected_; }
  uint32_t LastError() const override { return error_; }
  [[noreturn]] void Fail(const std::string& message) override { Errors::ThrowSystem(error_, message); }
  std::unique_ptr<Platform::OutputFile> OpenOutputFile(std::wstring_view path) override {
    const std::wstring name(path);
    std::optional<uint32_t> error = Double::TakeFault("CreateFile");
    if (!error && !WriteFileBytes(name, {})) {
      // ERROR_PATH_NOT_FOUND without its folder, else ERROR_ACCESS_DENIED.
      error = DirectoryExists(name.substr(0, name.find_last_of(L'\\'))) ? 5 : 3;
    }
    if (error) Errors::ThrowSystem(*error, "Unable to open download file \"" + Text::ToUtf8(name) + "\"");
    return std::make_unique<MemoryOutputFile>(name);
  }

 private:
  // True when a fault was injected into this step (its error is kept).
  bool Fault(const char* operation) {
    const auto error = Double::TakeFault(operation);
    if (error) error_ = *error;
    return error.has_value();
  }
  bool Error(uint32_t error) {
    error_ = error;
    return false;
  }

  std::wstring url_;
  Response response_;
  bool connected_ = false;
  size_t available_ = 0;
  size_t offset_ = 0;
  uint32_t error_ = 0;
};

}  // namespace

void Serve(const std::wstring& url, Response response) {
  std::lock_guard guard(GetServer().lock);
  GetServer().responses[url] = std::move(response);
}

std::vector<std::wstring> Requests() {
  std::lock_guard guard(GetServer().lock);
  return GetServer().requests;
}

int RequestCount(const std::wstring& url) {
  const auto requests = Requests();
  return static_cast<int>(std::count(requests.begin(), requests.end(), url));
}

}  // namespace Double::Http

namespace Platform {

std::shared_ptr<HttpSession> HttpSession::Create(const HttpLimits& limits) {
  return std::make_shared<HttpSession>(limits);
}

HttpSession::HttpSession(const HttpLimits& limits) : limits_(limits) {
  if (auto error = Double::TakeFault("WinHttpOpen")) {
    Errors::ThrowSystem(*error, "WinHttpOpen failed when opening session");
  }
}

HttpSession::~HttpSession() = default;

std::shared_ptr<HttpRequest> CreateHttpRequest(const std::shared_ptr<HttpSession>& session, std::wstring_view url) {
  return std::make_shared<WindowsHttpRequest>(session, url, std::make_unique<Double::Http::MemoryConnection>());
}

}  // namespace Platform
