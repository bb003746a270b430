// The registry wrapper and the product registration, checked the same way
// against the in-memory double (unit tests) and the real registry (Win32
// integration tests under Wine). Every test removes what it created.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "support/error_text.h"
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
  const ThrownError badRoot = CatchError([] { RegistryManager::Open(static_cast<RegistryRoot>(5)); });
  EXPECT_FALSE(badRoot.system);
  EXPECT_EQ(badRoot.text, "Invalid root key passed to RegistryManager::Open");
  EXPECT_NE(RegistryManager::Open(RegistryRoot::CurrentConfig).Get(), nullptr);
  const RegistryManager root = RegistryManager::Open(RegistryRoot::CurrentUser);
  const ThrownError badPermission = CatchError([&] { root.OpenOrCreate(kScratch, 0); });
  EXPECT_FALSE(badPermission.system);
  EXPECT_EQ(badPermission.text, "Invalid permissions passed to RegistryManager::OpenOrCreate");
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
  const ThrownError wrongType = CatchError([&] { key.GetDword(L"Text"); });
  EXPECT_TRUE(wrongType.system);
  EXPECT_TRUE(wrongType.StartsWith("Unable to get dword \"Text\" from registry")) << wrongType.text;
}

TEST_F(RegistryContract, DeletingAMissingValueFailsButAMissingTreeDoesNot) {
  RegistryManager key = Scratch();
  const ThrownError missing = CatchError([&] { key.DeleteValue(L"Missing"); });
  EXPECT_TRUE(missing.StartsWith("Unable to delete key \"Missing\" from registry")) << missing.text;
  EXPECT_EQ(missing.code, 2);
  key.DeleteTree(L"NoSuchSubkey");
  key.SetDword(L"Counter", 1);
  key.DeleteValue(L"Counter");
  EXPECT_FALSE(key.ValueExists(L"Counter"));
}

// Re-registering wipes the whole key first: no stale value or verb survives.
TEST(ProductRegistrationContract, ProtocolHandlerTwiceLeavesOneCommandAndNoStaleValue) {
  RegisterProtocolHandler(L"C:\\Old Place\\Valdrix.Desktop.exe");
  RegistryManager::Open(RegistryRoot::LocalMachine, kProtocolKeyPath, RegistryPermission::Write)
      .SetString(L"Stale", L"added by hand");
  RegisterProtocolHandler(kClient);
  {
    const RegistryManager protocol =
        RegistryManager::Open(RegistryRoot::LocalMachine, kProtocolKeyPath, RegistryPermission::Read);
    EXPECT_FALSE(protocol.ValueExists(L"Stale"));
    EXPECT_TRUE(protocol.ValueExists(L"URL Protocol"));
    EXPECT_EQ(protocol.GetString(L"URL Protocol"), L"");
    const RegistryManager command = protocol.OpenOrCreate(L"shell\\open\\command", RegistryPermission::Read);
    EXPECT_EQ(command.GetString(L""), L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe\" \"%1\"");
  }
  UnregisterProtocolHandler();
  EXPECT_FALSE(KeyExists(RegistryRoot::LocalMachine, kProtocolKeyPath));
}

// Besides the path kept whole: what Apps & features and inventory tools read.
TEST(ProductRegistrationContract, UninstallEntryKeepsAPathWithBlanksWholeAndTellsVersionSizeAndFolder) {
  WriteUninstallEntry({kClient, L"--uninstall", L"5.2.0", L"C:\\Program Files\\Valdrix\\", 1234});
  {
    const RegistryManager entry =
        RegistryManager::Open(RegistryRoot::LocalMachine, kUninstallKeyPath, RegistryPermission::Read);
    EXPECT_EQ(entry.GetString(L"DisplayName"), L"Valdrix");
    EXPECT_EQ(entry.GetString(L"DisplayIcon"), L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe\"");
    EXPECT_EQ(entry.GetString(L"Publisher"), L"Valdrix Inc.");
    EXPECT_EQ(entry.GetString(L"UninstallString"), L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe\" --uninstall");
    EXPECT_EQ(entry.GetString(L"URLInfoAbout"), kUrlInfoAbout);
    EXPECT_EQ(entry.GetString(L"DisplayVersion"), L"5.2.0");
    EXPECT_EQ(entry.GetDword(L"EstimatedSize"), 1234u);
    EXPECT_EQ(entry.GetString(L"InstallLocation"), L"C:\\Program Files\\Valdrix\\");
    EXPECT_EQ(entry.GetDword(L"NoModify"), 1u);
    EXPECT_EQ(entry.GetDword(L"NoRepair"), 1u);
  }
  RemoveUninstallEntry();
  EXPECT_FALSE(KeyExists(RegistryRoot::LocalMachine, kUninstallKeyPath));
}

}  // namespace
