#pragma once
// Reads an envelope back into its header and items, honouring each item's
// length, so tests can check what the reporting service would see.
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

struct EnvelopeItem {
  nlohmann::json header;
  std::string payload;
};

struct ParsedEnvelope {
  nlohmann::json header;
  std::vector<EnvelopeItem> items;
};

inline ParsedEnvelope ParseEnvelope(const std::string& body) {
  ParsedEnvelope envelope;
  size_t end = body.find('\n');
  if (end == std::string::npos) throw std::runtime_error("envelope without header line");
  envelope.header = nlohmann::json::parse(body.substr(0, end));
  size_t at = end + 1;
  while (at < body.size()) {
    end = body.find('\n', at);
    if (end == std::string::npos) throw std::runtime_error("item without header line");
    EnvelopeItem item;
    item.header = nlohmann::json::parse(body.substr(at, end - at));
    const size_t length = item.header.at("length").get<size_t>();
    if (end + 1 + length > body.size()) throw std::runtime_error("item longer than the envelope");
    item.payload = body.substr(end + 1, length);
    at = end + 1 + length;
    if (at < body.size() && body[at] == '\n') ++at;
    envelope.items.push_back(std::move(item));
  }
  return envelope;
}

inline nlohmann::json EventOf(const std::string& body) {
  const ParsedEnvelope envelope = ParseEnvelope(body);
  for (const EnvelopeItem& item : envelope.items) {
    if (item.header.at("type") == "event") return nlohmann::json::parse(item.payload);
  }
  throw std::runtime_error("envelope without event");
}
