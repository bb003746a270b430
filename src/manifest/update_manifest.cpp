#include "manifest/update_manifest.h"

#include <string>

#include "app/build_info.h"
#include "net/http.h"

std::string DownloadDocument(std::wstring_view url) {
  const auto request = Platform::CreateHttpRequest(Platform::HttpSession::Create(), url);
  request->LimitMemoryBody(kManifestSizeLimit, "Manifest");
  request->Start();
  return std::string(reinterpret_cast<const char*>(request->Data()), request->Size());
}

void FetchManifest(UpdateManifest& manifest, std::wstring_view url) {
  ParseManifest(manifest, DownloadDocument(url));
  for (Prerequisite& prerequisite : manifest.prerequisites) prerequisite.size.reset();
  for (ManifestFile& file : manifest.files) file.size.reset();
}

std::wstring ManifestUrl() { return std::wstring(L"https://") + BuildInfo::kUpdateHost + L"/update/v2/windows.json"; }
std::wstring StatementUrl() { return ManifestUrl() + L".sig"; }
