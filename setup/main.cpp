// flowsetup: installs, removes, stops and restarts the flowSentry service. It acts on exactly
// one argument, -i, -u, -r or -s, and does nothing for any other command line, by design; only
// --help is answered, with the usage.
#include <cstdio>
#include <string_view>
#include <vector>

#include "setup/commands.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(
        "usage: flowsetup -i | -u | -r | -s\n"
        "  -i  install the flowSentry service, its program this folder's flowmeter\n"
        "  -u  stop and remove the service\n"
        "  -r  restart the service if it runs (flowsetup.log in this folder)\n"
        "  -s  stop the service (flowsetup.log in this folder)\n",
        stdout);
    return 0;
  }
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const auto console = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  return flowsentry::setup::RunFlowsetup(arguments, console, flowsentry::setup::RealWaits());
}
