// The registry wrapper and the product registration, checked the same way
// against the in-memory double (unit tests) and the real registry (Win32
// integration tests under Wine). Every test removes what it created.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "system/registry.h"
#include "system/registry_api.h"

namespace {

constexpr wchar_t kScratch[] = L"Software\\ValdrixContractScratch";
constexpr wchar_t kClient[] = L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe";

// True when the key exists, found without creating it.
bool KeyExists(RegistryRoot root, const std::wstring& path) {
  RegistryApi::Key key = nullptr;
  const long status = RegistryApi::OpenKey(RegistryApi::PredefinedKey(static_cast<uint32_t>(root)), path.c_str(),
                                           RegistryApi::kKeyRead, &key);
  if (status == RegistryApi::kSuccess) RegistryApi::CloseKey(key);
  return status == RegistryApi::kSuccess;
}

template <typename Action>
std::string RuntimeErrorText(Action action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return std::string("system_error: ") + error.what();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no exception";
}

// The text of a std::system_error (message first), or what went wrong instead.
template <typename Action>
std::string SystemErrorText(Action action, int* code = nullptr) {
  try {
    action();
  } catch (const std::system_error& error) {
    if (code) *code = error.code().value();
    return error.what();
  } catch (const std::exception& error) {
    return std::string("other exception: ") + error.what();
  }
  return "no exception";
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class RegistryContract : public testing::Test {
 protected:
  void SetUp() override { RegistryManager::DeleteTree(RegistryRoot::CurrentUser, kScratch); }
  void TearDown() override {
    RegistryManager::DeleteTree(RegistryRoot::CurrentUser, kScratch);
    EXPECT_FALSE(KeyExists(RegistryRoot::CurrentUser, kScratch));
  }
  static RegistryManager Scratch() {
    return RegistryManager::Open(RegistryRoot::CurrentUser, kScratch,
                                 RegistryPermission::Read | RegistryPermission::Write);
  }
};

TEST_F(RegistryContract, RootAndPermissionArgumentsAreChecked) {
  EXPECT_EQ(RuntimeErrorText([] { RegistryManager::Open(static_cast<RegistryRoot>(5)); }),
            "Invalid root key passed to RegistryManager::Open");
  EXPECT_NE(RegistryManager::Open(RegistryRoot::CurrentConfig).Get(), nullptr);
  const RegistryManager root = RegistryManager::Open(RegistryRoot::CurrentUser);
  EXPECT_EQ(RuntimeErrorText([&] { root.OpenOrCreate(kScratch, 0); }),
            "Invalid permissions passed to RegistryManager::OpenOrCreate");
  EXPECT_FALSE(KeyExists(RegistryRoot::CurrentUser, kScratch));
  // Even read access creates a missing key.
  root.OpenOrCreate(std::wstring(kScratch) + L"\\Sub", RegistryPermission::Read);
  EXPECT_TRUE(KeyExists(RegistryRoot::CurrentUser, std::wstring(kScratch) + L"\\Sub"));
}

TEST_F(RegistryContract, AbsentValuesReadAsEmptyButAWrongTypeIsAnError) {
  RegistryManager key = Scratch();
  EXPECT_EQ(key.GetDword(L"Missing"), 0u);
  EXPECT_EQ(key.GetString(L"Missing"), L"");
  EXPECT_FALSE(key.ValueExists(L"Missing"));
  key.SetString(L"Text", L"seven");
  key.SetDword(L"Number", 7);
  EXPECT_EQ(key.GetString(L"Text"), L"seven");
  EXPECT_EQ(key.GetDword(L"Number"), 7u);
  EXPECT_TRUE(key.ValueExists(L"Text"));
  const std::string text = SystemErrorText([&] { key.GetDword(L"Text"); });
  EXPECT_TRUE(StartsWith(text, "Unable to get dword \"Text\" from registry")) << text;
}

TEST_F(RegistryContract, DeletingAMissingValueFailsButAMissingTreeDoesNot) {
  RegistryManager key = Scratch();
  int code = 0;
  const std::string text = SystemErrorText([&] { key.DeleteValue(L"Missing"); }, &code);
  EXPECT_TRUE(StartsWith(text, "Unable to delete key \"Missing\" from registry")) << text;
  EXPECT_EQ(code, 2);
  key.DeleteTree(L"NoSuchSubkey");
  key.SetDword(L"Counter", 1);
  key.DeleteValue(L"Counter");
  EXPECT_FALSE(key.ValueExists(L"Counter"));
}

// Re-registering wipes the whole key first: no stale value or verb survives.
TEST(ProductRegistrationContract, ProtocolHandlerTwiceLeavesOneCommandAndNoStaleValue) {
  RegisterProtocolHandler(L"C:\\Old Place\\Valdrix.Desktop.exe");
  RegistryManager::Open(RegistryRoot::ClassesRoot, kProtocolKeyPath, RegistryPermission::Write)
      .SetString(L"Stale", L"added by hand");
  RegisterProtocolHandler(kClient);
  {
    const RegistryManager protocol =
        RegistryManager::Open(RegistryRoot::ClassesRoot, kProtocolKeyPath, RegistryPermission::Read);
    EXPECT_FALSE(protocol.ValueExists(L"Stale"));
    EXPECT_TRUE(protocol.ValueExists(L"URL Protocol"));
    EXPECT_EQ(protocol.GetString(L"URL Protocol"), L"");
    const RegistryManager command = protocol.OpenOrCreate(L"shell\\open\\command", RegistryPermission::Read);
    EXPECT_EQ(command.GetString(L""), L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe\" \"%1\"");
  }
  UnregisterProtocolHandler();
  EXPECT_FALSE(KeyExists(RegistryRoot::ClassesRoot, kProtocolKeyPath));
}

TEST(ProductRegistrationContract, UninstallEntryKeepsAPathWithBlanksWhole) {
  WriteUninstallEntry(kClient, L"--uninstall");
  {
    const RegistryManager entry =
        RegistryManager::Open(RegistryRoot::LocalMachine, kUninstallKeyPath, RegistryPermission::Read);
    EXPECT_EQ(entry.GetString(L"DisplayName"), L"Valdrix");
    EXPECT_EQ(entry.GetString(L"DisplayIcon"), L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe\"");
    EXPECT_EQ(entry.GetString(L"Publisher"), L"Valdrix Inc.");
    EXPECT_EQ(entry.GetString(L"UninstallString"), L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe\" --uninstall");
    EXPECT_EQ(entry.GetString(L"URLInfoAbout"), kUrlInfoAbout);
  }
  RemoveUninstallEntry();
  EXPECT_FALSE(KeyExists(RegistryRoot::LocalMachine, kUninstallKeyPath));
}

}  // namespace
