// flowsetup: installs, removes, stops and restarts the flowSentry service.
#include <cstdio>
#include <string_view>
#include <vector>

#include "setup/commands.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const auto console = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  return flowsentry::setup::RunFlowsetup(arguments, console, flowsentry::setup::RealWaits());
}
