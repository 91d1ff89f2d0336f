#include "driver/program/options.h"

#include <gtest/gtest.h>

namespace flowsentry::pactrak {
namespace {

using Outcome = ParsedCommandLine::Outcome;

struct Case {
  std::vector<std::string_view> args;
  Outcome outcome;
  std::string error_part;  // for usage errors
};

TEST(ParseCommandLineTest, OutcomesAndErrors) {
  const Case cases[] = {
      {{"--live"}, Outcome::kRun, ""},
      {{"--live", "eth0", "veth1"}, Outcome::kRun, ""},
      {{"--replay", "a.pcap"}, Outcome::kRun, ""},
      {{"--lossless", "--replay", "a.pcap", "b.pcap", "--loop=3"}, Outcome::kRun, ""},
      {{"--help"}, Outcome::kHelp, ""},
      {{"--live", "--bogus", "-h"}, Outcome::kHelp, ""},
      {{"--replay", "--", "--help"}, Outcome::kRun, ""},  // a file named --help
      {{}, Outcome::kUsageError, "give --live or --replay"},
      {{"eth0"}, Outcome::kUsageError, "before eth0"},
      {{"--live", "--replay", "a"}, Outcome::kUsageError, "either --live or --replay"},
      {{"--replay"}, Outcome::kUsageError, "at least one capture file"},
      {{"--replay", "--lossless"}, Outcome::kUsageError, "at least one capture file"},
      {{"--live", "--lossless"}, Outcome::kUsageError, "with --replay only"},
      {{"--live", "--mac", "02:00:5e:00:53:01"}, Outcome::kUsageError, "with --replay only"},
      {{"--replay", "a", "--loop"}, Outcome::kUsageError, "needs a number"},
      {{"--replay", "a", "--loop", "0"}, Outcome::kUsageError, "not \"0\""},
      {{"--replay", "a", "--loop", "-1"}, Outcome::kUsageError, "not \"-1\""},
      {{"--replay", "a", "--loop", "2x"}, Outcome::kUsageError, "not \"2x\""},
      {{"--replay", "a", "--loop", "4294967297"}, Outcome::kUsageError, "not \"4294967297\""},
      {{"--replay", "a", "--loop", "2", "--loop", "3"}, Outcome::kUsageError, "given twice"},
      {{"--replay", "a", "--mac", "02:00:5e:00:53"}, Outcome::kUsageError, "--mac needs"},
      {{"--replay", "a", "--mac", "02:00-5e:00:53:01"}, Outcome::kUsageError, "--mac needs"},
      {{"--replay", "a", "--mac", "0g:00:5e:00:53:01"}, Outcome::kUsageError, "--mac needs"},
      {{"--replay=a"}, Outcome::kUsageError, "takes no value"},
      {{"--replay", "a", "-x"}, Outcome::kUsageError, "unknown option -x"},
      {{"--live", "--queue-limit"}, Outcome::kUsageError, "--queue-limit needs"},
      {{"--live", "--queue-limit=0"}, Outcome::kUsageError, "--queue-limit needs a whole number"},
      {{"--live", "--queue-limit", "1048577"}, Outcome::kUsageError, "not \"1048577\""},
      {{"--live", "--queue-limit", "many"}, Outcome::kUsageError, "not \"many\""},
      {{"--live", "--pcap-buffer"}, Outcome::kUsageError, "needs a size in MiB"},
      {{"--live", "--pcap-buffer", "0"}, Outcome::kUsageError, "from 1 to 1024, not \"0\""},
      {{"--live", "--pcap-buffer=1025"}, Outcome::kUsageError, "not \"1025\""},
      {{"--live", "--pcap-buffer", "8M"}, Outcome::kUsageError, "not \"8M\""},
      {{"--replay", "a", "--pcap-buffer", "8"}, Outcome::kUsageError, "with --live only"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (auto a : c.args) line += std::string(a) + " ";
    SCOPED_TRACE(line);
    ParsedCommandLine parsed = ParseCommandLine(c.args);
    EXPECT_EQ(parsed.outcome, c.outcome) << parsed.error;
    if (c.outcome == Outcome::kUsageError) {
      EXPECT_NE(parsed.error.find(c.error_part), std::string::npos) << parsed.error;
    }
  }
}

TEST(ParseCommandLineTest, ValuesReachTheOptions) {
  ParsedCommandLine replay =
      ParseCommandLine({"--replay", "a.pcap", "--file-time", "b.pcap", "--loop", "7", "--lossless",
                        "--mac", "02-00-5E-00-53-0a", "--queue-limit=1048576", "--", "-c.pcap"});
  ASSERT_EQ(replay.outcome, Outcome::kRun) << replay.error;
  const Options& r = replay.options;
  EXPECT_EQ(r.mode, Options::Mode::kReplay);
  EXPECT_EQ(r.files, (std::vector<std::string>{"a.pcap", "b.pcap", "-c.pcap"}));
  EXPECT_TRUE(r.lossless);
  EXPECT_TRUE(r.file_time);
  EXPECT_EQ(r.loops, 7u);
  EXPECT_EQ(r.queue_limit, 1048576u);
  ASSERT_TRUE(r.mac.has_value());
  EXPECT_EQ(*r.mac, (ndis::MacAddress{0x02, 0x00, 0x5E, 0x00, 0x53, 0x0A}));

  ParsedCommandLine live = ParseCommandLine({"--live", "eth0"});
  ASSERT_EQ(live.outcome, Outcome::kRun);
  EXPECT_EQ(live.options.mode, Options::Mode::kLive);
  EXPECT_EQ(live.options.interfaces, std::vector<std::string>{"eth0"});
  EXPECT_FALSE(live.options.lossless);
  EXPECT_EQ(live.options.loops, 1u);
  EXPECT_EQ(live.options.queue_limit, 50u);
  EXPECT_EQ(live.options.pcap_buffer_mib, ndis::kDefaultCaptureBufferMiB);
  EXPECT_EQ(ParseCommandLine({"--live", "--pcap-buffer", "1024", "lo"}).options.pcap_buffer_mib,
            1024u);

  // Every option the parser accepts is in the help text.
  const std::string help = UsageText();
  for (const char* option : {"--live", "--pcap-buffer", "--replay", "--lossless", "--file-time",
                             "--loop", "--mac", "--queue-limit", "--help"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace flowsentry::pactrak
