#include "driver/program/source_factory.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "driver/pactrak.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/sources/capture_file/capture_file_source.h"
#include "driver/runtime/sources/simulated/simulated_source.h"
#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::pactrak {
namespace {

TEST(SourceFactoryTest, EachModeMakesItsKindOfSourceWithTheOptionsGiven) {
  platform::testing::TempRoot root;
  ddk::SocketDeviceHost device_host;
  ndis::HostStack host_stack(kProtocolName);
  ndis::Runtime runtime;
  runtime.SetDeviceHost(&device_host);
  runtime.AttachUpperProtocol(&host_stack);
  ASSERT_EQ(runtime.LoadDriver(kProtocolName, &DriverEntry), ddk::STATUS_SUCCESS);
  // Frames 0, 2 and 4 come from the peer (02-00-5E-00-53-02), 1 and 3 from the host (...-01).
  std::vector<ndis::testing::CapturedFrame> frames(5);
  for (size_t i = 0; i < frames.size(); ++i) {
    std::vector<uint8_t> host = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01}, peer = host;
    peer[5] = 0x02;
    frames[i].bytes = ndis::testing::UdpFrame(i % 2 == 0 ? host : peer, i % 2 == 0 ? peer : host,
                                              0xC0000201, 0xC0000202, 40000, 53, 18);
  }
  const std::string file = root.path() + "/a.pcap";
  const std::string missing = root.path() + "/missing.pcap";
  ASSERT_TRUE(ndis::testing::WriteWholeFile(file, ndis::testing::CaptureFile(1, frames)));
  struct Case {
    std::vector<std::string_view> args;
    std::string error;  // how Start fails; empty: it starts, and the replay runs to its end
    ndis::SourceStatistics statistics;
  } cases[] = {
      {{"--replay", file, "--mac", "02:00:5e:00:53:01", "--loop", "2"},
       "",
       {.received = 6, .sent = 4}},
      // Without an address, the first frame's sender is the host.
      {{"--replay", file}, "", {.received = 2, .sent = 3}},
      {{"--replay", missing}, "cannot read capture file " + missing + ": ", {}},
      {{"--live", "fsnone0"}, "no network interface named fsnone0", {}},
  };
  for (const Case& c : cases) {
    auto source = MakeAdapterSource(ParseCommandLine(c.args).options, runtime, host_stack,
                                    [](const std::string&) {});
    std::string error;
    ASSERT_EQ(source->Start(&error), c.error.empty()) << error;
    if (c.error.empty()) dynamic_cast<ndis::CaptureFileSource&>(*source).WaitUntilFinished();
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    source->Stop();
    const ndis::SourceStatistics statistics = source->Statistics();
    EXPECT_EQ(std::vector({statistics.received, statistics.sent, statistics.dropped}),
              std::vector({c.statistics.received, c.statistics.sent, uint64_t{0}}))
        << c.args[0] << " " << c.args.size();
  }
  // A name another source's adapter has: the replay fails, and binds nothing.
  ndis::SimulatedAdapter::Config taken;
  taken.name = ndis::CaptureFileAdapterName(0);
  ndis::SimulatedSource other(runtime, {taken});
  std::string error;
  ASSERT_TRUE(other.Start(&error)) << error;
  auto replay = MakeAdapterSource(ParseCommandLine({"--replay", file}).options, runtime, host_stack,
                                  [](const std::string&) {});
  EXPECT_FALSE(replay->Start(&error));
  EXPECT_EQ(error, "an adapter named pcap0 exists already");
  runtime.UnloadDriver();
  runtime.DetachUpperProtocol(&host_stack);
}

}  // namespace
}  // namespace flowsentry::pactrak
