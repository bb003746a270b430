#include "reporting/outbox.h"

#include <algorithm>

#include "app/text.h"
#include "reporting/atomic_file.h"

namespace Reporting {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kEnvelopeSuffix = ".envelope";
constexpr std::string_view kTempSuffix = ".tmp";

std::string NameOf(const fs::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

fs::path PathFromUtf8(std::string_view utf8) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::vector<std::string> NamesEndingWith(const fs::path& folder, std::string_view suffix) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = NameOf(it->path());
    if (name.ends_with(suffix) && it->is_regular_file(error)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

fs::path PathFromWide(std::wstring_view path) { return PathFromUtf8(Text::ToUtf8(path)); }

bool Outbox::Open(const fs::path& folder) {
  folder_ = folder;
  std::error_code error;
  fs::create_directories(folder_, error);
  if (!fs::is_directory(folder_, error)) return false;
  for (const std::string& name : NamesEndingWith(folder_, kTempSuffix)) fs::remove(folder_ / PathFromUtf8(name), error);
  return true;
}

bool Outbox::Store(std::string_view name, std::string_view envelope) const {
  const fs::path target = folder_ / PathFromUtf8(std::string(name) + std::string(kEnvelopeSuffix));
  if (!WriteFileAtomically(target, envelope)) return false;
  const std::vector<std::string> pending = Pending();
  for (size_t i = 0; i + kMaxPending < pending.size(); ++i) Remove(pending[i]);
  return true;
}

std::vector<std::string> Outbox::Pending() const {
  std::vector<std::string> names = NamesEndingWith(folder_, kEnvelopeSuffix);
  for (std::string& name : names) name.resize(name.size() - kEnvelopeSuffix.size());
  return names;
}

std::optional<std::string> Outbox::Read(const std::string& name) const {
  return ReadFile(name + std::string(kEnvelopeSuffix), kMaxEnvelopeBytes);
}

void Outbox::Remove(const std::string& name) const { RemoveFile(name + std::string(kEnvelopeSuffix)); }

std::vector<std::string> Outbox::CrashRecords() const {
  std::vector<std::string> bases;
  std::error_code error;
  for (std::string& name : NamesEndingWith(folder_, ".json")) {
    name.resize(name.size() - 5);
    if (fs::is_regular_file(folder_ / PathFromUtf8(name + ".dmp"), error)) bases.push_back(std::move(name));
  }
  return bases;
}

std::optional<std::string> Outbox::ReadFile(const std::string& fileName, uint64_t cap) const {
  return ReadFileUpTo(folder_ / PathFromUtf8(fileName), cap);
}

bool Outbox::Has(const std::string& fileName) const {
  std::error_code ignored;
  return fs::exists(folder_ / PathFromUtf8(fileName), ignored);
}

void Outbox::RemoveFile(const std::string& fileName) const {
  std::error_code ignored;
  fs::remove(folder_ / PathFromUtf8(fileName), ignored);
}

}  // namespace Reporting
