#include "driver/program/source_factory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "driver/pactrak.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::pactrak {
namespace {

const std::vector<uint8_t> kHost = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
const std::vector<uint8_t> kPeer = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x02};

TEST(SourceFactoryTest, EachModeMakesItsKindOfSourceWithTheOptionsGiven) {
  platform::testing::TempRoot root;
  ddk::SocketDeviceHost device_host;
  ndis::HostStack host_stack(kProtocolName);
  ndis::Runtime runtime;
  runtime.SetDeviceHost(&device_host);
  runtime.AttachUpperProtocol(&host_stack);
  ASSERT_EQ(runtime.LoadDriver(kProtocolName, &DriverEntry), ddk::STATUS_SUCCESS);
  // Frames 0, 2 and 4 come from the peer, 1 and 3 from the host.
  std::vector<ndis::testing::CapturedFrame> frames(5);
  for (size_t i = 0; i < frames.size(); ++i) {
    const bool peer = i % 2 == 0;
    frames[i].bytes = ndis::testing::UdpFrame(peer ? kHost : kPeer, peer ? kPeer : kHost,
                                              0xC0000201, 0xC0000202, 40000, 53, 18);
  }
  const std::string file = root.path() + "/a.pcap";
  const std::string missing = root.path() + "/missing.pcap";
  ASSERT_TRUE(ndis::testing::WriteWholeFile(file, ndis::testing::CaptureFile(1, frames)));
  struct Case {
    std::vector<std::string_view> args;
    std::string said;  // the replay's last line, or the start's error
    ndis::SourceStatistics statistics;
  } cases[] = {
      {{"--replay", file, "--mac", "02:00:5e:00:53:01", "--loop", "2"},
       "pactrak: replay of " + file + " finished: 10 frames in 2 passes",
       {.received = 6, .sent = 4}},
      // Without an address, the first frame's sender is the host.
      {{"--replay", file},
       "pactrak: replay of " + file + " finished: 5 frames",
       {.received = 2, .sent = 3}},
      {{"--replay", missing}, "cannot read capture file " + missing + ": ", {}},
      {{"--live", "fsnone0"}, "no network interface named fsnone0", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    const ParsedCommandLine parsed = ParseCommandLine(c.args);
    ASSERT_EQ(parsed.outcome, ParsedCommandLine::Outcome::kRun) << parsed.error;
    std::mutex mu;
    std::condition_variable said;
    std::vector<std::string> lines;
    auto source =
        MakeAdapterSource(parsed.options, runtime, host_stack, [&](const std::string& line) {
          std::lock_guard lock(mu);
          lines.push_back(line);
          said.notify_all();
        });
    std::string error;
    if (source->Start(&error)) {
      std::unique_lock lock(mu);
      EXPECT_TRUE(said.wait_for(lock, std::chrono::seconds(30), [&] {
        return !lines.empty() && lines.back().find(" finished: ") != std::string::npos;
      }));
      EXPECT_EQ(lines.back(), c.said);
    } else {
      EXPECT_EQ(error.substr(0, c.said.size()), c.said);
    }
    source->Stop();
    const ndis::SourceStatistics statistics = source->Statistics();
    EXPECT_EQ(statistics.received, c.statistics.received);
    EXPECT_EQ(statistics.sent, c.statistics.sent);
    EXPECT_EQ(statistics.dropped, 0u);
  }
  runtime.UnloadDriver();
  runtime.DetachUpperProtocol(&host_stack);
}

}  // namespace
}  // namespace flowsentry::pactrak
