#include "net/http_transfer.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "app/text.h"
#include "system/clock.h"

namespace Platform {
namespace {

// ERROR_WINHTTP_TIMEOUT; Wine's WinHTTP gives the socket's WSAETIMEDOUT.
bool IsTimeout(uint32_t error) { return error == 12002 || error == 10060; }
// What WinHttpReceiveResponse fails with when it does not follow a redirect
// from https to http (its default).
constexpr uint32_t kRedirectFailed = 12156;  // ERROR_WINHTTP_REDIRECT_FAILED

std::string SecondsText(uint64_t ms) {
  if (ms % 1000 == 0) return fmt::format("{} s", ms / 1000);
  return fmt::format("{:.1f} s", static_cast<double>(ms) / 1000.0);
}

bool Succeeded(uint32_t status) { return status >= 200 && status < 300; }

}  // namespace

HttpTransfer::HttpTransfer(std::unique_ptr<HttpConnection> connection, std::wstring_view url)
    : url(url), connection_(std::move(connection)) {}

HttpTransfer::~HttpTransfer() {
  connection_->Close();
  if (output_) {
    try {
      output_->Close();
    } catch (...) {
      // A transfer that failed already reported why; the file is dropped.
    }
  }
}

float HttpTransfer::Progress() const {
  if (expected == 0) return 0.0f;
  return static_cast<float>(received) / static_cast<float>(expected) * 100.0f;
}

HttpTransfer::Counts HttpTransfer::Run(bool toFile, std::wstring_view path) {
  if (toFile && output_) throw std::runtime_error("Stream is already open.");
  if (connection_->IsConnected()) throw std::logic_error("A download is already in progress.");
  if (url.empty()) throw std::invalid_argument("Blank URL.");
  if (toFile) {
    output_ = connection_->OpenOutputFile(path);
    status = 0;
  }
  expected = 0;
  received = 0;
  startMs_ = Clock::TickCountMs();
  Connect();
  ReadHeaders();
  ReadBody(toFile);
  const Counts counts{expected, received};
  CleanUp();
  return counts;
}

void HttpTransfer::Connect() {
  UrlParts parts;
  if (!connection_->CrackUrl(url, parts)) connection_->Fail("WinHttpCrackUrl failed");
  if (!connection_->Connect(parts)) connection_->Fail("WinHttpConnect failed");
  if (!connection_->OpenRequest(verb, parts.path + parts.extra, parts.secure)) {
    connection_->Fail("WinHttpOpenRequest failed");
  }
  if (!connection_->SendRequest()) Fail("WinHttpSendRequest failed", "connection", limits.connectMs);
  if (!connection_->ReceiveResponse()) {
    if (connection_->LastError() == kRedirectFailed && parts.secure) {
      throw std::runtime_error(fmt::format("Refusing a redirect from https to http: {}", Text::ToUtf8(url)));
    }
    Fail("WinHttpReceiveResponse failed", "answer", limits.receiveMs);
  }
}

void HttpTransfer::Fail(const std::string& message, std::string_view what, uint32_t waitMs) {
  if (IsTimeout(connection_->LastError())) {
    throw std::runtime_error(fmt::format("No {} within {}: {}", what, SecondsText(waitMs), Text::ToUtf8(url)));
  }
  connection_->Fail(message);
}

// A server that trickles its body keeps every single wait short; the whole
// transfer is held to the time its size takes on a slow line.
void HttpTransfer::CheckDuration() const {
  const uint64_t limitMs =
      limits.transferBaseMs + std::max(expected, received) * 1000 / std::max<uint64_t>(limits.slowestBytesPerSecond, 1);
  if (Clock::TickCountMs() - startMs_ <= limitMs) return;
  throw std::runtime_error(fmt::format("Download not finished within {}: {}", SecondsText(limitMs), Text::ToUtf8(url)));
}

void HttpTransfer::ReadHeaders() {
  uint32_t code = 0;
  if (connection_->QueryStatus(code)) status = code;
  std::wstring raw;
  if (!connection_->QueryRawHeaders(raw)) connection_->Fail("WinHttpQueryHeaders failed");
  ParseHeaders(raw, headers);
  expected = ContentLength(headers);
}

void HttpTransfer::ReadBody(bool toFile) {
  if (!toFile) {
    // What the server announces is reserved only within the limit.
    if (expected > memoryLimit) ThrowTooLarge();
    body.clear();
    if (expected != 0 && expected > body.capacity()) body.reserve(expected);
  }
  const std::string narrowUrl = Text::ToUtf8(url);
  const FileSizeRule rule = Succeeded(status) ? fileSize : FileSizeRule{};
  if (toFile) rule.CheckAnnounced(expected, narrowUrl);
  for (;;) {
    uint32_t available = 0;
    if (!connection_->QueryDataAvailable(available)) {
      Fail("WinHttpQueryDataAvailable failed", "data", limits.receiveMs);
    }
    if (available == 0) break;
    if (!toFile && body.size() + available > memoryLimit) ThrowTooLarge();
    if (toFile) rule.CheckReceived(received + available, narrowUrl);
    const size_t offset = toFile ? 0 : body.size();
    body.resize(offset + available);
    uint32_t read = 0;
    if (!connection_->ReadData(body.data() + offset, available, read)) {
      Fail("WinHttpReadData failed", "data", limits.receiveMs);
    }
    body.resize(offset + read);
    const uint8_t* chunk = body.data() + offset;
    if (toFile) output_->Write(chunk, read);
    if (sink) sink(chunk, read);
    received += read;
    if (progress) progress();
    CheckDuration();
  }
  if (toFile) rule.CheckComplete(received, narrowUrl);
}

void HttpTransfer::ThrowTooLarge() const {
  throw std::runtime_error(fmt::format("{} is larger than {}", limitedBody, SizeText(memoryLimit)));
}

void HttpTransfer::CleanUp() {
  connection_->Close();
  expected = 0;
  received = 0;
  if (output_) {
    const auto output = std::move(output_);
    output->Close();
  }
}

}  // namespace Platform
