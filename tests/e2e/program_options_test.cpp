// Every program of the project answers --help with its usage and refuses an option it does not
// know, naming it, without acting on it (no file written, no service touched).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/testing/temp_root.h"

namespace flowsentry {
namespace {

struct ProgramRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs `program argument` in `folder`, its standard streams into files beside it.
ProgramRun RunIn(const std::string& folder, const std::string& program,
                 const std::string& argument) {
  const std::string streams = folder + "/../streams";
  const std::string command = "cd '" + folder + "' && '" + program + "' '" + argument + "' >'" +
                              streams + ".out' 2>'" + streams + ".err' </dev/null";
  const int status = std::system(command.c_str());
  ProgramRun run;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  for (auto [path, text] : {std::pair{streams + ".out", &run.out}, {streams + ".err", &run.err}}) {
    std::stringstream contents;
    contents << std::ifstream(path).rdbuf();
    *text = contents.str();
  }
  return run;
}

TEST(ProgramOptionsTest, HelpIsAnsweredAndUnknownOptionsAreRefused) {
  struct Program {
    const char* path;
    const char* help_word;  // what the usage text holds
    int unknown_exit;       // for --no-such-option; flowsetup ignores what it does not know
  };
  const Program programs[] = {
      {PACTRAK_PROGRAM, "usage", 2},
      {SCMD_PROGRAM, "usage", 2},
      {SC_PROGRAM, "USAGE", 87},
      {FLOWMETER_PROGRAM, "usage", 2},
      {FLOWSETUP_PROGRAM, "usage", 0},
#ifdef MAKE_DEMO_CAPTURE_PROGRAM
      {MAKE_DEMO_CAPTURE_PROGRAM, "usage", 2},
#endif
#ifdef COUNTER_PASS_BENCH_PROGRAM
      {COUNTER_PASS_BENCH_PROGRAM, "benchmark_filter", 1},
      {CREDIT_BENCH_PROGRAM, "benchmark_filter", 1},
      {CONTROL_DEVICE_BENCH_PROGRAM, "benchmark_filter", 1},
      {PIPELINE_BENCH_PROGRAM, "usage", 2},
      {SYSTEM_BENCH_PROGRAM, "usage", 2},
#endif
  };
  platform::testing::TempRoot root;
  const std::string folder = root.Host("/work");
  std::filesystem::create_directories(folder);
  for (const Program& program : programs) {
    SCOPED_TRACE(program.path);
    const ProgramRun help = RunIn(folder, program.path, "--help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find(program.help_word), std::string::npos) << help.out;
    const ProgramRun unknown = RunIn(folder, program.path, "--no-such-option");
    EXPECT_EQ(unknown.exit_code, program.unknown_exit) << unknown.err;
    if (program.unknown_exit != 0) {
      EXPECT_NE((unknown.out + unknown.err).find("--no-such-option"), std::string::npos)
          << unknown.out << unknown.err;
    }
    // Neither run acted: nothing was written where it ran, under any name.
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
  }
}

}  // namespace
}  // namespace flowsentry
