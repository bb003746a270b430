#include "net/progress_request.h"

namespace Setup {
namespace {
constexpr float kRoundingAllowance = 0.0001f;
}  // namespace

std::shared_ptr<Platform::HttpRequest> ProgressReportingGetRequest(
    Context& context, const std::shared_ptr<Platform::HttpSession>& session, std::wstring_view url) {
  auto request = Platform::CreateHttpRequest(session, url);
  context.lastProgress = -1;
  if (!context.onProgress) return request;
  request->SetCallback([&context](float fraction) {
    // The fraction went through two single-precision divisions: 53 % arrives
    // as 52.99999 and would be truncated to 52 without this allowance.
    const auto percent = static_cast<int32_t>(fraction * 100.0f + kRoundingAllowance);
    if (percent - context.lastProgress <= 5) return;
    context.lastProgress = percent;
    context.onProgress(percent);
  });
  return request;
}

std::shared_ptr<Platform::HttpRequest> ProgressReportingGetRequest(Context& context, std::wstring_view url) {
  return ProgressReportingGetRequest(context, Platform::HttpSession::Create(), url);
}

}  // namespace Setup
