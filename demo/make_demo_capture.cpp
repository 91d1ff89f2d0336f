// make_demo_capture: writes the demo's capture file and prints what its counters must count.
//
//   make_demo_capture FILE [FRAMES]
//   make_demo_capture --help
//
// FILE becomes a libpcap capture of FRAMES frames (300000 by default) of one host's traffic,
// the same on every run, each cut to its first 128 bytes as a header-only capture is. Standard
// output gets one line per demo counter, "name<TAB>packets<TAB>bytes", after a first line
// "frames<TAB>FRAMES". An argument that begins with "-" is an option: --help prints the usage,
// any other is refused (a file of that name is given as "./-name"). Exit status: 0, 2 for a bad
// command line, 1 when FILE cannot be written.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "demo/demo_traffic.h"

namespace {

constexpr uint64_t kSeed = 20240312;
constexpr uint32_t kSnapLength = 128;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool WriteAll(std::FILE* file, const std::vector<uint8_t>& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

constexpr char kUsage[] =
    "usage: make_demo_capture FILE [FRAMES]\n       make_demo_capture --help\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace flowsentry::demo;
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') {
      std::fprintf(stderr, "make_demo_capture: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (argc < 2 || argc > 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  uint64_t frames = 300000;
  if (argc == 3) {
    char* end = nullptr;
    frames = std::strtoull(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || frames == 0 || frames > 100000000) {
      std::fprintf(stderr, "make_demo_capture: FRAMES must be a number from 1 to 100000000\n");
      return 2;
    }
  }
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(argv[1], "wb"));
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  TrafficGenerator traffic(kSeed);
  bool written = WriteAll(file.get(), PcapFileHeader(kSnapLength));
  for (uint64_t i = 0; i < frames && written; ++i) {
    written = WriteAll(file.get(), PcapRecord(traffic.Next(), kSnapLength));
  }
  // A failed close (a full disk noticed at the last flush) is a failed write too.
  if (!written || std::fclose(file.release()) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::printf("frames\t%llu\n", static_cast<unsigned long long>(frames));
  for (const auto& [name, tally] : traffic.Counts()) {
    std::printf("%s\t%llu\t%llu\n", name.c_str(), static_cast<unsigned long long>(tally.packets),
                static_cast<unsigned long long>(tally.bytes));
  }
  return 0;
}
