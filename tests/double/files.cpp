// In-memory files and folders, shell folders and paths of the process.
#include "double/files.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "app/text.h"
#include "double/double.h"
#include "double/path_key.h"
#include "system/clock.h"
#include "system/errors.h"
#include "system/files.h"

namespace Double::Files {
namespace {

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kNotSameDevice = 17;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kAlreadyExists = 183;
constexpr char kShortcutPrefix[] = "[shortcut]";

struct Node {
  std::wstring path;  // as created
  bool directory = false;
  std::string bytes;
  bool readOnly = false;
  bool inUse = false;
  int held = 0;  // HeldFile objects open on it
  int64_t modified = 0;
  int64_t accessed = 0;
  // Written through by FlushFile since its content was last written. The
  // double marks only that call: WriteFileBytes flushes too on Windows.
  bool flushed = false;
};

struct Lock {
  uint32_t error;
  int attempts;
};

struct State {
  std::recursive_mutex lock;
  std::map<std::wstring, Node> nodes;  // by PathKey
  std::map<std::wstring, Lock> locks;
  std::vector<RestartRequest> restartRequests;
  std::vector<MoveCall> moves;
  std::wstring programFiles, desktop, programs, localAppData, temp, executable;
};

State& S() {
  static State state;
  return state;
}

void MakeDirectoriesLocked(const std::wstring& path);

void ResetState() {
  std::lock_guard guard(S().lock);
  S().nodes.clear();
  S().locks.clear();
  S().restartRequests.clear();
  S().moves.clear();
  S().programFiles = L"C:\\Program Files";
  S().desktop = L"C:\\Users\\Public\\Desktop";
  S().programs = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
  S().localAppData = L"C:\\users\\tester\\AppData\\Local";
  S().temp = L"C:\\users\\tester\\Temp\\";
  S().executable = L"C:\\users\\tester\\Downloads\\Valdrix.Setup.exe";
  for (const auto* folder : {&S().programFiles, &S().desktop, &S().programs, &S().localAppData, &S().temp}) {
    MakeDirectoriesLocked(*folder);
  }
  MakeDirectoriesLocked(L"C:\\users\\tester\\Downloads");
}

const bool kRegistered = [] {
  Double::RegisterReset(ResetState);
  ResetState();
  return true;
}();

Node* Find(std::wstring_view path) {
  auto it = S().nodes.find(PathKey(path));
  return it == S().nodes.end() ? nullptr : &it->second;
}

// Drive roots ("c:") always exist.
bool IsFolderKey(const std::wstring& key) {
  if (key.size() == 2 && key[1] == L':') return true;
  auto it = S().nodes.find(key);
  return it != S().nodes.end() && it->second.directory;
}

void MakeDirectoriesLocked(const std::wstring& path) {
  std::wstring key = PathKey(path);
  std::wstring display(path);
  while (display.size() > 2 && display.back() == L'\\') display.pop_back();
  std::vector<std::pair<std::wstring, std::wstring>> missing;
  while (!key.empty() && !IsFolderKey(key)) {
    missing.emplace_back(key, display);
    key = ParentKey(key);
    display = display.substr(0, std::min(display.size(), key.size()));
  }
  for (auto& [k, d] : missing) {
    Node node;
    node.path = d;
    node.directory = true;
    S().nodes[k] = node;
  }
}

// Consumes one attempt of a lock on the path; 0 when it is not locked.
uint32_t TakeLock(const std::wstring& key) {
  auto it = S().locks.find(key);
  if (it == S().locks.end() || it->second.attempts == 0) return 0;
  if (it->second.attempts > 0) --it->second.attempts;
  return it->second.error;
}

bool AnyInUseBelow(const std::wstring& folder) {
  return std::any_of(S().nodes.begin(), S().nodes.end(),
                     [&](const auto& entry) { return entry.second.inUse && IsWithin(entry.first, folder); });
}

std::string Utf8(std::wstring_view path) { return Text::ToUtf8(path); }

}  // namespace

void MakeDirectories(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  MakeDirectoriesLocked(path);
}

void PutFile(const std::wstring& path, const std::string& bytes, int64_t time) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(path);
  MakeDirectoriesLocked(path.substr(0, std::min(path.size(), ParentKey(key).size())));
  Node node;
  node.path = path;
  node.bytes = bytes;
  node.modified = node.accessed = time;
  S().nodes[key] = node;
}

std::optional<std::string> FileBytes(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  const Node* node = Find(path);
  if (!node || node->directory) return std::nullopt;
  return node->bytes;
}

bool IsFile(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  const Node* node = Find(path);
  return node && !node->directory;
}

bool IsDirectory(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  return IsFolderKey(PathKey(path));
}

void SetReadOnly(const std::wstring& path, bool readOnly) {
  std::lock_guard guard(S().lock);
  if (Node* node = Find(path)) node->readOnly = readOnly;
}

int64_t ModificationTime(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  const Node* node = Find(path);
  return node ? node->modified : 0;
}

int64_t AccessTime(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  const Node* node = Find(path);
  return node ? node->accessed : 0;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(folder);
  std::vector<std::wstring> files;
  for (const auto& [k, node] : S().nodes) {
    if (!node.directory && IsWithin(k, key) && k != key) files.push_back(node.path);
  }
  return files;
}

void LockFile(const std::wstring& path, uint32_t error, int attempts) {
  std::lock_guard guard(S().lock);
  S().locks[PathKey(path)] = {error, attempts};
}

int HeldCount(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  const Node* node = Find(path);
  return node ? node->held : 0;
}

void SetInUse(const std::wstring& path, bool inUse) {
  std::lock_guard guard(S().lock);
  if (Node* node = Find(path)) node->inUse = inUse;
}

std::vector<RestartRequest> RestartRequests() {
  std::lock_guard guard(S().lock);
  return S().restartRequests;
}

std::vector<MoveCall> Moves() {
  std::lock_guard guard(S().lock);
  return S().moves;
}

void SetProgramFilesFolder(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  S().programFiles = path;
  if (!path.empty()) MakeDirectoriesLocked(path);
}

void SetCommonDesktopFolder(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  S().desktop = path;
  if (!path.empty()) MakeDirectoriesLocked(path);
}

void SetTempDirectory(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  S().temp = path;
  MakeDirectoriesLocked(path);
}

void SetExecutablePath(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  S().executable = path;
}

std::wstring ShortcutTarget(const std::wstring& linkPath) {
  auto bytes = FileBytes(linkPath);
  const std::string prefix = kShortcutPrefix;
  if (!bytes || bytes->compare(0, prefix.size(), prefix) != 0) return {};
  return Text::FromUtf8(bytes->substr(prefix.size()));
}

}  // namespace Double::Files

using namespace Double::Files;
using Double::PathKey;

bool PathExists(std::wstring_view path) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(path);
  return Find(path) != nullptr || IsFolderKey(key);
}

bool DirectoryExists(std::wstring_view path) {
  std::lock_guard guard(S().lock);
  return IsFolderKey(PathKey(path));
}

uint32_t EnsureDirectory(std::wstring_view path) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(path);
  if (IsFolderKey(key)) return 0;
  if (Find(path)) return 183;  // ERROR_ALREADY_EXISTS: a file
  if (!IsFolderKey(Double::ParentKey(key))) return kPathNotFound;
  if (auto error = Double::TakeFault("EnsureDirectory")) return *error;
  Node node;
  node.path = std::wstring(path);
  while (node.path.size() > 2 && node.path.back() == L'\\') node.path.pop_back();
  node.directory = true;
  S().nodes[key] = node;
  return 0;
}

void RemoveFile(std::wstring_view path) {
  std::lock_guard guard(S().lock);
  Node* node = Find(path);
  if (!node && !IsFolderKey(PathKey(path))) return;
  if (node && node->readOnly) {
    if (auto error = Double::TakeFault("SetFileAttributes")) {
      Errors::ThrowSystem(*error, fmt::format("Unable to remove read-only flag from file \"{}\"", Utf8(path)));
    }
    node->readOnly = false;
  }
  uint32_t error = Double::TakeFault("DeleteFile").value_or(0);
  if (!error && node && node->held > 0) error = kSharingViolation;
  if (!error && (!node || node->directory || node->inUse)) error = kAccessDenied;
  if (error) Errors::ThrowSystem(error, fmt::format("Unable to delete file \"{}\"", Utf8(path)));
  S().nodes.erase(PathKey(path));
}

int64_t GetFileModificationTime(std::wstring_view path) {
  std::lock_guard guard(S().lock);
  const Node* node = Find(path);
  return node ? node->modified : 0;
}

void FlushFile(std::wstring_view path, std::optional<int64_t> stamp) {
  std::lock_guard guard(S().lock);
  Node* node = Find(path);
  if (!node || node->directory)
    Errors::ThrowSystem(kFileNotFound, fmt::format("Unable to open file \"{}\"", Utf8(path)));
  if (stamp) {
    if (auto error = Double::TakeFault("SetFileTime")) {
      Errors::ThrowSystem(*error, fmt::format("Unable to stamp file \"{}\"", Utf8(path)));
    }
    node->modified = node->accessed = *stamp;
  }
  if (auto error = Double::TakeFault("FlushFileBuffers")) {
    Errors::ThrowSystem(*error, fmt::format("Unable to flush file \"{}\"", Utf8(path)));
  }
  node->flushed = true;
}

uint32_t MoveFileWithFlags(std::wstring_view source, std::wstring_view destination, uint32_t flags) {
  std::lock_guard guard(S().lock);
  const Node* moving = Find(source);
  const bool flushed = moving && moving->flushed;
  auto result = [&](uint32_t code) {
    S().moves.push_back({std::wstring(source), std::wstring(destination), flags, code, flushed});
    return code;
  };
  if (auto error = Double::TakeFault("MoveFileWithFlags")) return result(*error);
  const std::wstring from = PathKey(source);
  if (flags & kMoveDelayUntilReboot) {
    S().restartRequests.push_back({std::wstring(source), std::wstring(destination)});
    return result(0);
  }
  if (destination.empty()) return result(kInvalidParameter);
  const std::wstring to = PathKey(destination);
  auto it = S().nodes.find(from);
  if (it == S().nodes.end()) return result(kFileNotFound);
  if (uint32_t error = TakeLock(from)) return result(error);
  if (uint32_t error = TakeLock(to)) return result(error);
  if (it->second.held > 0) return result(kSharingViolation);
  if (auto target = S().nodes.find(to); target != S().nodes.end() && target->second.held > 0) {
    return result(kSharingViolation);
  }
  if (Double::DriveOf(from) != Double::DriveOf(to)) return result(kNotSameDevice);
  if (!IsFolderKey(Double::ParentKey(to))) return result(kPathNotFound);
  if (from == to) {
    it->second.path = std::wstring(destination);  // a change of letter case only
    return result(0);
  }
  if (auto target = S().nodes.find(to); target != S().nodes.end()) {
    if (target->second.directory || target->second.readOnly || target->second.inUse) return result(kAccessDenied);
    if (!(flags & kMoveReplaceExisting)) return result(kAlreadyExists);
  }
  if (it->second.directory && AnyInUseBelow(from)) return result(kSharingViolation);
  // Moves the node and, for a folder, everything below it.
  std::vector<std::pair<std::wstring, Node>> moved;
  for (auto entry = S().nodes.begin(); entry != S().nodes.end();) {
    if (Double::IsWithin(entry->first, from)) {
      Node node = entry->second;
      const std::wstring rest = entry->first.substr(from.size());
      node.path = std::wstring(destination) + node.path.substr(std::min(node.path.size(), from.size()));
      moved.emplace_back(to + rest, node);
      entry = S().nodes.erase(entry);
    } else {
      ++entry;
    }
  }
  for (auto& [key, node] : moved) S().nodes[key] = node;
  return result(0);
}

std::vector<std::wstring> ListFolderTree(std::wstring_view folder) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(folder);
  std::vector<std::wstring> entries;
  // By key from the last: a folder's entries sort after it.
  for (auto entry = S().nodes.rbegin(); entry != S().nodes.rend(); ++entry) {
    if (entry->first != key && Double::IsWithin(entry->first, key)) entries.push_back(entry->second.path);
  }
  return entries;
}

uint64_t FolderSizeBytes(std::wstring_view folder) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(folder);
  uint64_t total = 0;
  for (const auto& [k, node] : S().nodes) {
    if (!node.directory && Double::IsWithin(k, key) && k != key) total += node.bytes.size();
  }
  return total;
}

int DeleteDirectoryTree(std::wstring_view folder) {
  std::lock_guard guard(S().lock);
  if (auto error = Double::TakeFault("DeleteDirectoryTree")) return static_cast<int>(*error);
  const std::wstring key = PathKey(folder);
  if (!IsFolderKey(key)) return static_cast<int>(kFileNotFound);
  // Like the shell, it deletes what it can and leaves what is in use or
  // held open, together with the folders that hold it.
  std::vector<std::wstring> kept;
  for (auto entry = S().nodes.begin(); entry != S().nodes.end();) {
    if (!Double::IsWithin(entry->first, key)) {
      ++entry;
    } else if (entry->second.inUse || entry->second.held > 0) {
      kept.push_back(entry->first);
      ++entry;
    } else if (!entry->second.directory) {
      entry = S().nodes.erase(entry);
    } else {
      ++entry;
    }
  }
  for (auto entry = S().nodes.begin(); entry != S().nodes.end();) {
    const bool holdsKept =
        std::any_of(kept.begin(), kept.end(), [&](const std::wstring& k) { return Double::IsWithin(k, entry->first); });
    if (Double::IsWithin(entry->first, key) && entry->second.directory && !holdsKept) {
      entry = S().nodes.erase(entry);
    } else {
      ++entry;
    }
  }
  return kept.empty() ? 0 : static_cast<int>(kSharingViolation);
}

bool ReadFileBytes(std::wstring_view path, std::string& bytes) {
  std::lock_guard guard(S().lock);
  Node* node = Find(path);
  if (!node || node->directory || Double::TakeFault("ReadFileBytes")) return false;
  bytes = node->bytes;
  return true;
}

bool WriteFileBytes(std::wstring_view path, std::string_view bytes) {
  std::lock_guard guard(S().lock);
  const std::wstring key = PathKey(path);
  if (!IsFolderKey(Double::ParentKey(key)) || Double::TakeFault("WriteFileBytes")) return false;
  Node* existing = Find(path);
  if (existing && (existing->directory || existing->readOnly || existing->inUse || existing->held > 0)) return false;
  Node node;
  node.path = existing ? existing->path : std::wstring(path);
  node.bytes.assign(bytes);
  node.modified = node.accessed = Clock::UnixTimeNow();
  S().nodes[key] = node;
  return true;
}

std::wstring GetCommonDesktopFolder() {
  std::lock_guard guard(S().lock);
  return S().desktop;
}

std::wstring GetCommonProgramsFolder() {
  std::lock_guard guard(S().lock);
  return S().programs;
}

std::wstring GetLocalAppDataFolder() {
  std::lock_guard guard(S().lock);
  return S().localAppData;
}

std::wstring GetProgramFilesFolder() {
  std::lock_guard guard(S().lock);
  return S().programFiles;
}

std::wstring GetTempDirectory() {
  std::lock_guard guard(S().lock);
  return S().temp;
}

std::wstring GetExecutablePath() {
  std::lock_guard guard(S().lock);
  return S().executable;
}

std::wstring GetExecutableDirectory() {
  const std::wstring path = GetExecutablePath();
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring GetExecutableName() { return Double::FileNameOf(GetExecutablePath()); }

void CreateShortcut(std::wstring_view target, std::wstring_view linkPath) {
  constexpr int32_t kPathNotFoundHr = static_cast<int32_t>(0x80070003);
  if (auto error = Double::TakeFault("CreateShortcut")) {
    Errors::ThrowCom("Unable to create shell link instance", static_cast<int32_t>(*error));
  }
  if (!WriteFileBytes(linkPath, kShortcutPrefix + Text::ToUtf8(target))) {
    Errors::ThrowCom("Unable to save shell link file", kPathNotFoundHr);
  }
}

// A held file is marked on its node; the handle is the node's key.
void HeldFile::Release() noexcept {
  if (handle_ == nullptr) return;
  auto* key = static_cast<std::wstring*>(handle_);
  {
    std::lock_guard guard(S().lock);
    if (auto it = S().nodes.find(*key); it != S().nodes.end() && it->second.held > 0) --it->second.held;
  }
  delete key;
  handle_ = nullptr;
}

HeldFile HoldFile(std::wstring_view path) {
  std::lock_guard guard(S().lock);
  const std::string message = fmt::format("Unable to open file \"{}\"", Utf8(path));
  if (auto error = Double::TakeFault("HoldFile")) Errors::ThrowSystem(*error, message);
  Node* node = Find(path);
  if (!node || node->directory) Errors::ThrowSystem(kFileNotFound, message);
  ++node->held;
  return HeldFile(std::wstring(path), new std::wstring(PathKey(path)));
}

// The double's file system has no links: every folder is held.
HeldFolders HoldFolders(std::wstring_view base, const std::vector<std::wstring>& names) {
  std::lock_guard guard(S().lock);
  HeldFolders result;
  std::wstring path(base);
  for (size_t level = 0; level <= names.size(); ++level) {
    if (level > 0) EnsureDirectory(path += L'\\' + names[level - 1]);
    Node* node = Find(path);
    if (!node || !node->directory) Errors::ThrowSystem(kPathNotFound, "Unable to open folder \"" + Utf8(path) + "\"");
    ++node->held;
    result.folders.emplace_back(path, new std::wstring(PathKey(path)));
  }
  return result;
}

void ReadHeldFile(const HeldFile& file, const std::function<void(const uint8_t*, size_t)>& sink) {
  std::string bytes;
  {
    std::lock_guard guard(S().lock);
    const std::string message = fmt::format("Unable to read file \"{}\"", Utf8(file.Path()));
    if (auto error = Double::TakeFault("ReadHeldFile")) Errors::ThrowSystem(*error, message);
    const Node* node = file ? Find(file.Path()) : nullptr;
    if (!node) Errors::ThrowSystem(kInvalidParameter, message);
    bytes = node->bytes;
  }
  // In pieces, as the real one reads.
  constexpr size_t kPiece = 7;
  for (size_t at = 0; at < bytes.size(); at += kPiece) {
    sink(reinterpret_cast<const uint8_t*>(bytes.data()) + at, std::min(kPiece, bytes.size() - at));
  }
}

// The log is written to the host's real file system.
std::FILE* OpenAppendWithoutLinks(std::wstring_view path) {
  if (Double::TakeFault("OpenAppendWithoutLinks")) return nullptr;
  return std::fopen(Text::ToUtf8(path).c_str(), "ab");
}
