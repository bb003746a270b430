#pragma once
#include "build_config.h"

namespace BuildInfo {
inline constexpr char kRelease[] = "2025-10-23";
inline constexpr char kEnvironment[] = "Prod";
inline constexpr char kBuildLogLine[] = "Build: 2025-10-23 (main, 355194c5)";
inline constexpr wchar_t kBuildLabel[] = L"2025-10-23 (Prod, main, 355194c5, windows)";
inline constexpr wchar_t kUpdateHost[] = VALDRIX_UPDATE_HOST_W;
inline constexpr wchar_t kApiHost[] = VALDRIX_API_HOST_W;
inline constexpr char kDsn[] = VALDRIX_DSN;
}  // namespace BuildInfo
