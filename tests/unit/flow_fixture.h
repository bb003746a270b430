#pragma once
// A machine for the flow tests: the double with an update server, an earlier
// installation on demand, and the context of one run with its status texts.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "app/text.h"
#include "double/files.h"
#include "double/fixture.h"
#include "double/http.h"
#include "double/processes.h"
#include "double/registry.h"
#include "double/scm.h"
#include "double/tasks.h"
#include "engine/context.h"
#include "manifest/update_manifest.h"
#include "staging/sha256.h"

struct PublishedFile {
  std::wstring path;
  std::string body;
  int64_t version;
};

struct PublishedPrerequisite {
  std::wstring id;
  std::wstring name;
  std::string body;
};

class FlowTest : public DoubleTest {
 protected:
  static constexpr wchar_t kInstall[] = L"C:\\Program Files\\Valdrix\\";
  static constexpr wchar_t kFileServer[] = L"https://localhost:8443/files/";
  static constexpr wchar_t kUserProtocolCommand[] = L"HKCU\\Software\\Classes\\valdrix\\shell\\open\\command";

  void SetUp() override {
    DoubleTest::SetUp();
    context.installPath = kInstall;
    context.onStatus = [this](std::wstring_view text) { statuses.push_back(Text::ToUtf8(text)); };
  }

  static std::string Digest(const std::string& body) {
    Sha256 sha;
    sha.Update(body.data(), body.size());
    return sha.HexDigest();
  }

  // Publishes a manifest and the files and installers it names.
  void ServeManifest(const std::vector<PublishedFile>& files,
                     const std::vector<PublishedPrerequisite>& prerequisites = {},
                     const std::string& appVersion = "2.1.0") {
    nlohmann::json manifest = {{"version", 2}, {"app_version", appVersion}, {"zips", nlohmann::json::array()}};
    manifest["files"] = nlohmann::json::array();
    manifest["prereqs"] = nlohmann::json::array();
    for (const auto& file : files) {
      const std::wstring url = kFileServer + file.path;
      manifest["files"].push_back({{"path", Text::ToUtf8(file.path)},
                                   {"version", std::to_string(file.version)},
                                   {"url", Text::ToUtf8(url)},
                                   {"sha256", Digest(file.body)}});
      Double::Http::Serve(url, {200, file.body});
    }
    for (const auto& prerequisite : prerequisites) {
      const std::wstring url = kFileServer + prerequisite.id + L".exe";
      manifest["prereqs"].push_back({{"file", Text::ToUtf8(prerequisite.id) + ".exe"},
                                     {"id", Text::ToUtf8(prerequisite.id)},
                                     {"name", Text::ToUtf8(prerequisite.name)},
                                     {"url", Text::ToUtf8(url)},
                                     {"sha256", Digest(prerequisite.body)},
                                     {"params", "/install /quiet"},
                                     {"params-repair", "/repair /quiet"}});
      Double::Http::Serve(url, {200, prerequisite.body});
    }
    Double::Http::Serve(ManifestUrl(), {200, manifest.dump()});
  }

  // What an earlier install left: files stamped with their versions, the
  // service running, both tasks, the registration and a client in session 1.
  void InstallEarlier(const std::vector<PublishedFile>& files) {
    Double::Files::MakeDirectories(kInstall);
    for (const auto& file : files) Double::Files::PutFile(kInstall + file.path, "old " + file.body, file.version);
    Double::Scm::AddService(L"Valdrix");
    Double::Tasks::AddTask({L"ValdrixLogon", L"\\", Double::Tasks::Kind::Logon,
                            std::wstring(kInstall) + L"Valdrix.Desktop.exe", L"--startup", kInstall, true});
    Double::Tasks::AddTask({L"ValdrixVerify", L"\\", Double::Tasks::Kind::Verify,
                            std::wstring(kInstall) + L"Valdrix.Setup.exe", L"/silent /verify", kInstall, true});
    Double::Registry::SetValue(L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Valdrix",
                               L"DisplayName", std::wstring(L"Valdrix"));
    Double::Registry::SetValue(L"HKLM\\Software\\Valdrix", L"DeviceID", std::wstring(L"device-1"));
    Double::Processes::Start(std::wstring(kInstall) + L"Valdrix.Desktop.exe", 1);
  }

  static std::vector<PublishedFile> ProductFiles() {
    return {{L"Valdrix.Desktop.exe", "client", 1700000001},
            {L"Valdrix.Desktop.Service.exe", "service", 1700000002},
            {L"Valdrix.Setup.exe", "setup", 1700000003},
            {L"a.dll", "library", 1700000004}};
  }

  static std::vector<PublishedFile> TenFiles() {
    std::vector<PublishedFile> files;
    for (int i = 1; i <= 10; ++i) {
      files.push_back({L"file" + std::to_wstring(i) + L".dll", "body " + std::to_string(i), 1700000000 + i});
    }
    return files;
  }

  int RequestsFor(const std::wstring& prefix) const {
    int count = 0;
    for (const auto& url : Double::Http::Requests()) count += url.rfind(prefix, 0) == 0;
    return count;
  }

  Setup::Context context;
  std::vector<std::string> statuses;
};
