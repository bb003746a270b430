// One download under Wine, timed inside the process, for bench/download_bench.sh:
//   download_bench.exe request URL FILE   StartToFile of the setup's HTTP client
//   download_bench.exe bare URL FILE      a bare WinHTTP read loop writing each
//                                         chunk as it comes (the reference)
// Prints "seconds=S bytes=N working_set_growth=W pagefile_growth=P": wall time
// of the transfer, and how far the process's peak working set and peak
// committed memory rose during it (bytes).
#include <windows.h>

#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/http.h"

namespace {

struct Peaks {
  SIZE_T workingSet = 0;
  SIZE_T pagefile = 0;
};

Peaks ReadPeaks() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
    throw std::runtime_error("GetProcessMemoryInfo failed");
  }
  return {counters.PeakWorkingSetSize, counters.PeakPagefileUsage};
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(GetLastError()));
}

// What WinHTTP hands out, read and written exactly as it comes.
uint64_t BareDownload(const std::wstring& url, const std::wstring& path) {
  wchar_t host[256], object[2048];
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = std::size(host);
  parts.lpszUrlPath = object;
  parts.dwUrlPathLength = std::size(object);
  Check(WinHttpCrackUrl(url.c_str(), 0, 0, &parts), "WinHttpCrackUrl");
  const HINTERNET session = WinHttpOpen(L"download_bench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0);
  Check(session != nullptr, "WinHttpOpen");
  const HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
  Check(connection != nullptr, "WinHttpConnect");
  const HINTERNET request =
      WinHttpOpenRequest(connection, L"GET", object, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                         parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  Check(request != nullptr, "WinHttpOpenRequest");
  Check(WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0),
        "WinHttpSendRequest");
  Check(WinHttpReceiveResponse(request, nullptr), "WinHttpReceiveResponse");
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  Check(file != INVALID_HANDLE_VALUE, "CreateFileW");
  std::vector<uint8_t> buffer;
  uint64_t total = 0;
  for (;;) {
    DWORD available = 0;
    Check(WinHttpQueryDataAvailable(request, &available), "WinHttpQueryDataAvailable");
    if (available == 0) break;
    buffer.resize(available);
    DWORD read = 0, written = 0;
    Check(WinHttpReadData(request, buffer.data(), available, &read), "WinHttpReadData");
    Check(WriteFile(file, buffer.data(), read, &written, nullptr) && written == read, "WriteFile");
    total += read;
  }
  CloseHandle(file);
  WinHttpCloseHandle(request);
  WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  return total;
}

uint64_t RequestDownload(const std::wstring& url, const std::wstring& path) {
  auto request = Platform::CreateHttpRequest(Platform::HttpSession::Create(), url);
  uint64_t calls = 0;
  request->SetCallback([&calls](float) { ++calls; });
  request->StartToFile(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  Check(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data), "GetFileAttributesExW");
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: download_bench.exe request|bare URL FILE\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  try {
    const Peaks before = ReadPeaks();
    const auto start = std::chrono::steady_clock::now();
    const uint64_t bytes = mode == L"bare" ? BareDownload(argv[2], argv[3]) : RequestDownload(argv[2], argv[3]);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Peaks after = ReadPeaks();
    std::printf("seconds=%.3f bytes=%llu working_set_growth=%llu pagefile_growth=%llu\n", seconds,
                static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(after.workingSet - before.workingSet),
                static_cast<unsigned long long>(after.pagefile - before.pagefile));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "download_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
