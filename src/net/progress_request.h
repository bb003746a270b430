#pragma once
// A download whose progress reaches the Context's onProgress, throttled to
// steps of more than 5 points.
#include <memory>
#include <string_view>

#include "engine/context.h"
#include "net/http.h"

namespace Setup {

std::shared_ptr<Platform::HttpRequest> ProgressReportingGetRequest(
    Context& context, const std::shared_ptr<Platform::HttpSession>& session, std::wstring_view url);
std::shared_ptr<Platform::HttpRequest> ProgressReportingGetRequest(Context& context, std::wstring_view url);

}  // namespace Setup
