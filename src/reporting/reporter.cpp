// Placeholder until the reporting client lands: keeps nothing, sends nothing.
#include "reporting/reporter.h"

namespace Reporting {
void Init(const Options&) {}
void SetUser(const std::string&) {}
void AddBreadcrumb(std::string_view, std::string_view, std::string_view, std::string_view) {}
void CaptureException(std::string_view, std::string_view) {}
bool Flush(uint32_t) { return false; }
void Close() {}
}  // namespace Reporting
