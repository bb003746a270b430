#include "net/http_transfer.h"

#include <fmt/format.h>

#include <stdexcept>

namespace Platform {

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
  if (!connection_->SendRequest()) connection_->Fail("WinHttpSendRequest failed");
  if (!connection_->ReceiveResponse()) connection_->Fail("WinHttpReceiveResponse failed");
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
  for (;;) {
    uint32_t available = 0;
    if (!connection_->QueryDataAvailable(available)) connection_->Fail("WinHttpQueryDataAvailable failed");
    if (available == 0) break;
    if (!toFile && body.size() + available > memoryLimit) ThrowTooLarge();
    const size_t offset = toFile ? 0 : body.size();
    body.resize(offset + available);
    uint32_t read = 0;
    if (!connection_->ReadData(body.data() + offset, available, read)) connection_->Fail("WinHttpReadData failed");
    body.resize(offset + read);
    const uint8_t* chunk = body.data() + offset;
    if (toFile) output_->Write(chunk, read);
    if (sink) sink(chunk, read);
    received += read;
    if (progress) progress();
  }
}

void HttpTransfer::ThrowTooLarge() const {
  std::string limit = fmt::format("{} bytes", memoryLimit);
  if (memoryLimit % (1 << 20) == 0) {
    limit = fmt::format("{} MiB", memoryLimit >> 20);
  } else if (memoryLimit % 1024 == 0) {
    limit = fmt::format("{} KiB", memoryLimit >> 10);
  }
  throw std::runtime_error(fmt::format("{} is larger than {}", limitedBody, limit));
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
