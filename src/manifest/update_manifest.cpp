#include "manifest/update_manifest.h"

#include <string>

#include "app/build_info.h"
#include "net/http.h"

void FetchManifest(UpdateManifest& manifest, std::wstring_view url) {
  const auto request = Platform::CreateHttpRequest(Platform::HttpSession::Create(), url);
  request->LimitMemoryBody(kManifestSizeLimit, "Manifest");
  request->Start();
  const auto data = reinterpret_cast<const char*>(request->Data());
  ParseManifest(manifest, std::string_view(data, request->Size()));
}

std::wstring ManifestUrl() { return std::wstring(L"https://") + BuildInfo::kUpdateHost + L"/update/v2/windows.json"; }
