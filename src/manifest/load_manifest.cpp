#include <fmt/format.h>

#include <exception>
#include <stdexcept>

#include "app/log.h"
#include "app/trusted_keys.h"
#include "engine/context.h"

namespace Setup {

void Context::LoadManifest() {
  ReportStatus(L"Downloading manifest..");
  try {
    const TrustedKeys& keys = TrustedKeys::Instance();
    if (keys.manifest.empty()) {
      FetchManifest(manifest, ManifestUrl());
    } else {
      FetchSignedManifest(manifest, keys.manifest);
    }
    SetupLog::Info("Manifest loaded (%d files)", static_cast<int>(manifest.files.size()));
  } catch (const std::exception& error) {
    throw std::runtime_error(fmt::format("Unable to download manifest: {}", error.what()));
  }
}

}  // namespace Setup
