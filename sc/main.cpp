// sc: queries and controls one service through the service control manager.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sc/sc.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  std::string out;
  const auto code = flowsentry::sc::RunSc(arguments, out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  // The Windows code is the exit status; a POSIX parent sees its low eight bits.
  return static_cast<int>(code);
}
