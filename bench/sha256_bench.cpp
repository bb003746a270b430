// Throughput of Sha256 against `openssl speed -evp sha256` measured in the
// same run, on the same block size (16 KiB, what one HTTPS read hands out).
// Both count CPU time of the process, as `openssl speed` does, so the ratio
// holds on a loaded machine.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "staging/sha256.h"

namespace {

constexpr size_t kBlock = 16384;

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

double OwnMegabytesPerSecond() {
  std::vector<uint8_t> data(kBlock, 0x5a);
  Sha256 digest;
  const double start = CpuSeconds();
  size_t bytes = 0;
  double seconds = 0;
  do {
    for (int i = 0; i < 1024; ++i) digest.Update(data.data(), data.size());
    bytes += 1024 * kBlock;
    seconds = CpuSeconds() - start;
  } while (seconds < 3.0);
  std::printf("digest %s\n", digest.HexDigest().substr(0, 8).c_str());
  return bytes / seconds / 1e6;
}

// The last line of `openssl speed -mr` is "+F:<n>:sha256:<speeds per size>"
// in bytes per second; the 16384-byte column is the last.
double OpensslMegabytesPerSecond() {
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen("openssl speed -mr -seconds 3 -bytes 16384 -evp sha256 2>/dev/null", "r"), pclose);
  if (!pipe) return 0;
  char line[4096];
  double speed = 0;
  while (std::fgets(line, sizeof(line), pipe.get())) {
    const std::string text(line);
    if (text.rfind("+F:", 0) != 0) continue;
    speed = std::strtod(text.substr(text.rfind(':') + 1).c_str(), nullptr);
  }
  return speed / 1e6;
}

}  // namespace

int main() {
  const double reference = OpensslMegabytesPerSecond();
  const double own = OwnMegabytesPerSecond();
  std::printf("openssl sha256: %.1f MB/s\nSha256:         %.1f MB/s\nratio:          %.2f\n", reference, own,
              reference > 0 ? own / reference : 0.0);
  return reference > 0 ? 0 : 1;
}
