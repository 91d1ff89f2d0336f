// The adapter listing and the driver client against pactrak itself, served in-process on its
// real device socket, and against a scripted device for the answers pactrak never gives.
#include "service/capture/adapter_listing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/runtime/io/irp.h"
#include "driver/testing/control_device_fixture.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/root.h"
#include "service/capture/driver_client.h"
#include "service/host/config.h"
#include "shared/little_endian.h"

namespace flowsentry::capture {
namespace {

using ndis::SimulatedAdapter;
using pactrak::testing::ControlDeviceTest;
using pactrak::testing::NameBytes;
using platform::DeviceHandle;
using platform::GetLastError;

constexpr char kDestPath[] = "/flowsentry";
constexpr char kPacketsPath[] = "/flowsentry/packets";
constexpr char kInfoLog[] = "/flowsentry/packets/info.log";

// Points DESTPATH and DIRPACKETS into the machine root and makes both folders.
void PrepareSettings() {
  host::MutableSettings() = host::Settings();
  host::MutableSettings().DESTPATH = kDestPath;
  host::MutableSettings().DIRPACKETS = kPacketsPath;
  ASSERT_TRUE(platform::CreateDirectory(kDestPath));
  ASSERT_TRUE(platform::CreateDirectory(kPacketsPath));
}

// The diagnostic log's lines from " Code:" on, without their time stamps and line ends.
std::vector<std::string> LogEntries(const platform::testing::TempRoot& root) {
  const std::string log = root.ReadFile(std::string(kDestPath) + "/flowmeter.log");
  std::vector<std::string> entries;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    const size_t code = line.find(" Code:");
    entries.push_back(code == std::string::npos ? line : line.substr(code));
    start = end + 2;
  }
  return entries;
}

std::string Entry(int32_t code, const std::string& text) {
  return " Code: " + std::to_string(code) + " Text: " + text;
}

TEST(ListingTextTest, NamesMediaAndQueryBlock) {
  EXPECT_EQ(NarrowName(u"\\Device\\eth0"), "\\Device\\eth0");
  EXPECT_EQ(NarrowName(u"caf\u00E9"), "caf\xE9");  // Latin-1 stays one byte
  EXPECT_EQ(NarrowName(u"\u0441\u0435\u0442\u044C-1"),
            "?"
            "?"
            "?"
            "?-1");                               // others become "?"
  EXPECT_EQ(NarrowName(u"a\U0001F600b"), "a?b");  // one "?" per surrogate pair
  EXPECT_EQ(NarrowName(u"\xD800"), "?");          // a lone surrogate too

  const std::pair<uint32_t, std::string> media[] = {{0, "802.3"},
                                                    {1, "802.5"},
                                                    {2, "FDDI"},
                                                    {3, "WAN"},
                                                    {7, "Arcnet 878.2"},
                                                    {9, "Wireless WAN"},
                                                    {13, "IEEE 1394 (Firewire)"},
                                                    {14, "Unknown"},
                                                    {0xFFFFFFFF, "Unknown"}};
  for (const auto& [medium, name] : media) EXPECT_EQ(MediumName(medium), name) << medium;

  // Name with its zero, number and OID little-endian; a name of more than 63 characters is cut to
  // 63 so that its zero still fits in the name field.
  struct Case {
    std::u16string name;
    size_t name_characters;
  };
  const Case cases[] = {{u"\\Device\\eth0", 12},
                        {std::u16string(63, u'n'), 63},
                        {std::u16string(64, u'n'), 63},
                        {std::u16string(200, u'n'), 63}};
  for (const Case& c : cases) {
    const auto block = BuildQueryBlock(c.name, 0x01020304, OID_802_3_CURRENT_ADDRESS);
    std::vector<uint8_t> expected = NameBytes(c.name.substr(0, c.name_characters));
    expected.resize(kQueryBlockSize, 0);
    StoreLe32(&expected[kQueryInterfaceOffset], 0x01020304);
    StoreLe32(&expected[kQueryOidOffset], OID_802_3_CURRENT_ADDRESS);
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.end()), expected) << c.name.size();
  }
}

class AdapterListingTest : public ControlDeviceTest {
 protected:
  void SetUp() override {
    ControlDeviceTest::SetUp();
    PrepareSettings();
  }
  void TearDown() override {
    ControlDeviceTest::TearDown();
    host::MutableSettings() = host::Settings();
  }

  std::shared_ptr<SimulatedAdapter> Add(const SimulatedAdapter::Config& config) {
    auto adapter = std::make_shared<SimulatedAdapter>(config);
    adapters_.push_back(adapter);
    EXPECT_TRUE(runtime_->AddAdapter(adapter));
    EXPECT_TRUE(protocol_.WaitForAdapter(VirtualName(adapter->Name())));
    return adapter;
  }

  // An adapter's block in info.log, its description text given.
  static std::string Block(int number, const std::string& adapter, const std::string& described) {
    return "   Interface Number: " + std::to_string(number) + "\r\n   \"\\Device\\pactrak_" +
           adapter + "\"\r\n   \"\\Device\\" + adapter + "\"\r\n" + described + "\r\n";
  }

  static bool Queried(const SimulatedAdapter& adapter, uint32_t oid) {
    for (uint32_t queried : adapter.Queries()) {
      if (queried == oid) return true;
    }
    return false;
  }
};

// Every kind of adapter and every way its description can stop, in one listing: the blocks come
// in the driver's order (newest binding first) numbered from 0, and every adapter's records then
// carry its number.
TEST_F(AdapterListingTest, ListsNumbersAndDescribesEveryAdapter) {
  struct Case {
    std::string name;
    ndis::NDIS_MEDIUM medium;
    std::array<uint8_t, 6> mac;
    std::string description;
    std::function<void(SimulatedAdapter&)> script;
    std::string described;            // its text in info.log
    std::vector<std::string> logged;  // its entries in flowmeter.log
  };
  const std::string long_name(60, 'n');  // 68 characters with "\Device\"
  const std::vector<Case> cases = {
      {"eth0",
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01},
       "Contoso Gigabit Ethernet",
       nullptr,
       "      Description: Contoso Gigabit Ethernet\r\n"
       "      Medium: 802.3; Mac address = 02-00-5E-00-53-01\r\n",
       {}},
      {"wan0",
       ndis::NdisMediumWan,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0xAB},
       "WAN Miniport (IP)",
       nullptr,
       "      Description: WAN Miniport (IP)\r\n"
       "      Medium: WAN; Mac address = 02-00-5E-00-53-AB\r\n",
       {}},
      {"tr0",
       ndis::NdisMedium802_5,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x02},
       "Token Ring 16/4",
       nullptr,
       "      Description: Token Ring 16/4\r\n      Medium: 802.5; ",
       {Entry(-1, "Query not supported by application...")}},
      {"nodesc",
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x03},
       "unused",
       [](SimulatedAdapter& a) {
         a.SetOidStatus(OID_GEN_VENDOR_DESCRIPTION, ndis::NDIS_STATUS_FAILURE);
       },
       "",
       {Entry(31, "DeviceIoControl return error"),
        Entry(31, "Query For Vendor Description Failed")}},
      {"nomedia",
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x04},
       "Quiet NIC",
       [](SimulatedAdapter& a) {
         a.SetOidStatus(OID_GEN_MEDIA_IN_USE, ndis::NDIS_STATUS_NOT_SUPPORTED);
       },
       "      Description: Quiet NIC\r\n",
       {Entry(50, "DeviceIoControl return error"), Entry(50, "Query for media in use failed")}},
      {"noaddr",
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x05},
       "No Address",
       [](SimulatedAdapter& a) {
         a.SetOidStatus(OID_802_3_CURRENT_ADDRESS, ndis::NDIS_STATUS_FAILURE);
       },
       "      Description: No Address\r\n      Medium: 802.3; ",
       {Entry(31, "DeviceIoControl return error"), Entry(31, "Query for current address failed")}},
      {"shortaddr",
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x06},
       "Short Address",
       [](SimulatedAdapter& a) {
         a.SetOidAnswer(OID_802_3_CURRENT_ADDRESS, {0x02, 0x00, 0x5E, 0x00});
       },
       "      Description: Short Address\r\n      Medium: 802.3; ",
       {Entry(-1, "DeviceIOControl returned an invalid count = 4")}},
      // A description that fills the 256-byte buffer without a zero is cut to 255 bytes.
      {"longdesc",
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x07},
       "unused",
       [](SimulatedAdapter& a) {
         a.SetOidAnswer(OID_GEN_VENDOR_DESCRIPTION, std::vector<uint8_t>(300, 'd'),
                        SimulatedAdapter::Fit::kTruncate);
       },
       "      Description: " + std::string(255, 'd') +
           "\r\n      Medium: 802.3; Mac address = 02-00-5E-00-53-07\r\n",
       {}},
      // The query block holds 63 characters of the name: the driver finds no such adapter.
      {long_name,
       ndis::NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x08},
       "Long Name",
       nullptr,
       "",
       {Entry(2, "DeviceIoControl return error"), Entry(2, "Query For Vendor Description Failed")}},
  };

  std::vector<std::shared_ptr<SimulatedAdapter>> added;
  for (const Case& c : cases) {
    SimulatedAdapter::Config config;
    config.name = c.name;
    config.medium = c.medium;
    config.mac = c.mac;
    config.vendor_description = c.description;
    added.push_back(Add(config));
    if (c.script) c.script(*added.back());
  }

  DeviceHandle device = OpenCaptureDevice();
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(ListAdapters(device));

  std::string info;
  std::vector<std::string> logged;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[cases.size() - 1 - i];
    info += Block(static_cast<int>(i), c.name, c.described);
    logged.insert(logged.end(), c.logged.begin(), c.logged.end());
  }
  EXPECT_EQ(root_.ReadFile(kInfoLog), info);
  EXPECT_EQ(LogEntries(root_), logged);

  // The listing released every adapter: another handle can open each one now.
  for (const Case& c : cases) {
    EXPECT_TRUE(OpenBindingHandle(LowerName(c.name)).IsOpen()) << c.name;
  }

  // Records carry the numbers: the newest adapter is 0. The long-named one was never reached by
  // a query, so it keeps the driver's initial 0.
  SetCapture(device, CAPTURE_ENABLED);
  auto reader = Connect();
  for (size_t i = 0; i < cases.size(); ++i) {
    ReceiveFrame(*added[i], pactrak::testing::Ipv4Frame(60));
    std::optional<PacketRecord> record = ReadRecord(*reader, static_cast<uint32_t>(i + 1));
    ASSERT_TRUE(record.has_value()) << cases[i].name;
    const uint16_t expected =
        cases[i].name == long_name ? 0 : static_cast<uint16_t>(cases.size() - 1 - i);
    EXPECT_EQ(record->Interface, expected) << cases[i].name;
  }
  SetCapture(device, 0);
  EXPECT_TRUE(CloseCaptureDevice(device));
  EXPECT_FALSE(CloseCaptureDevice(device));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_HANDLE);
}

// An adapter that another handle holds open stops the listing there: the adapters before it are
// numbered, those after it are not even asked, and the old info.log stays. Once the other handle
// lets go, the listing goes through.
TEST_F(AdapterListingTest, AdapterHeldOpenElsewhereStopsTheListing) {
  auto first = AddAdapter("a");
  auto held = AddAdapter("b");
  auto last = AddAdapter("c");  // listed first
  ASSERT_TRUE(root_.WriteFile(kInfoLog, "old listing\r\n"));

  DeviceHandle holder = OpenBindingHandle(LowerName("b"));
  ASSERT_TRUE(holder.IsOpen());
  DeviceHandle device = OpenCaptureDevice();
  ASSERT_TRUE(device.IsOpen());
  EXPECT_FALSE(ListAdapters(device));

  EXPECT_EQ(root_.ReadFile(kInfoLog), "old listing\r\n");
  EXPECT_EQ(LogEntries(root_),
            std::vector<std::string>{Entry(170, "DeviceIoControl return error")});
  EXPECT_TRUE(Queried(*last, OID_GEN_VENDOR_DESCRIPTION));
  EXPECT_FALSE(Queried(*held, OID_GEN_VENDOR_DESCRIPTION));
  EXPECT_FALSE(Queried(*first, OID_GEN_VENDOR_DESCRIPTION));

  EXPECT_TRUE(CloseCaptureDevice(holder));
  EXPECT_TRUE(ListAdapters(device));
  const std::string described =
      "      Description: Simulated Ethernet Adapter\r\n"
      "      Medium: 802.3; Mac address = 02-00-5E-00-53-01\r\n";
  EXPECT_EQ(root_.ReadFile(kInfoLog),
            Block(0, "c", described) + Block(1, "b", described) + Block(2, "a", described));
}

// Without a bound adapter there is no device under either name; with one, the global name alone
// is enough.
TEST_F(AdapterListingTest, OpenCaptureDeviceTriesBothNames) {
  platform::SetLastError(0);
  EXPECT_FALSE(OpenCaptureDevice().IsOpen());
  EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND);

  AddAdapter("sim0");
  const std::filesystem::path devices = platform::LocationPath(platform::Location::kDevices);
  std::filesystem::rename(devices / "pactrak", devices / "moved");
  std::filesystem::remove(devices / "Globals" / "pactrak");
  std::filesystem::create_symlink("../moved", devices / "Globals" / "pactrak");
  {
    DeviceHandle device = OpenCaptureDevice();
    ASSERT_TRUE(device.IsOpen());
    EXPECT_TRUE(device.DeviceIoControl(IOCTL_NOP, {}, {}, nullptr));
  }
  std::filesystem::remove(devices / "Globals" / "pactrak");
  EXPECT_FALSE(OpenCaptureDevice().IsOpen());
  EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND);
  std::filesystem::rename(devices / "moved", devices / "pactrak");
  std::filesystem::create_symlink("../pactrak", devices / "Globals" / "pactrak");
  EXPECT_TRUE(OpenCaptureDevice().IsOpen());
}

// A device that answers as scripted, for enumerations and open answers pactrak never gives.
struct Script {
  ddk::NTSTATUS enumeration_status = ddk::STATUS_SUCCESS;
  std::vector<uint8_t> enumeration;
  uint32_t open_word = 0;
};
Script script;

ddk::NTSTATUS Complete(ddk::Irp& irp, ddk::NTSTATUS status, size_t information) {
  irp.IoStatus.Status = status;
  irp.IoStatus.Information = information;
  ddk::IoCompleteRequest(irp, ddk::IO_NO_INCREMENT);
  return status;
}

ddk::NTSTATUS ScriptedSuccess(ddk::DeviceObject&, ddk::Irp& irp) {
  return Complete(irp, ddk::STATUS_SUCCESS, 0);
}

ddk::NTSTATUS ScriptedControl(ddk::DeviceObject&, ddk::Irp& irp) {
  const auto& parameters = ddk::IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
  auto* buffer = static_cast<uint8_t*>(irp.SystemBuffer);
  switch (parameters.IoControlCode) {
    case IOCTL_ENUM_BINDINGS: {
      if (script.enumeration_status != ddk::STATUS_SUCCESS) {
        return Complete(irp, script.enumeration_status, 0);
      }
      const size_t n = std::min<size_t>(script.enumeration.size(), parameters.OutputBufferLength);
      std::copy_n(script.enumeration.begin(), n, buffer);
      return Complete(irp, ddk::STATUS_SUCCESS, n);
    }
    case IOCTL_OPEN_BINDING:
      if (parameters.OutputBufferLength < 4) return Complete(irp, ddk::STATUS_SUCCESS, 0);
      StoreLe32(buffer, script.open_word);
      return Complete(irp, ddk::STATUS_SUCCESS, 4);
    case IOCTL_QUERY_BINDING:
      return Complete(irp, ddk::STATUS_NOT_SUPPORTED, 0);
    default:
      return Complete(irp, ddk::STATUS_SUCCESS, 0);
  }
}

std::vector<uint8_t> Names(std::initializer_list<std::u16string_view> names, bool end = true) {
  std::vector<uint8_t> bytes;
  for (std::u16string_view name : names) {
    std::vector<uint8_t> one = NameBytes(name);
    bytes.insert(bytes.end(), one.begin(), one.end());
    bytes.insert(bytes.end(), {0, 0});
  }
  if (end) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

class ScriptedDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrepareSettings();
    static const ddk::DispatchTable kTable = {.create = ScriptedSuccess,
                                              .cleanup = ScriptedSuccess,
                                              .close = ScriptedSuccess,
                                              .device_control = ScriptedControl};
    ASSERT_EQ(host_.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device_),
              ddk::STATUS_SUCCESS);
  }
  void TearDown() override {
    host_.DeleteDevice(device_);
    host::MutableSettings() = host::Settings();
  }

  platform::testing::TempRoot root_;
  ddk::SocketDeviceHost host_;
  ddk::DeviceObject* device_ = nullptr;
};

TEST_F(ScriptedDeviceTest, EnumerationShapesAndOpenAnswers) {
  // The script is made when its case runs: GCC 12 at -O3 loses track of vectors held in a
  // braced array of aggregates on its unwinding path and warns of uninitialized use.
  using MakeScript = Script (*)();
  struct Case {
    const char* what;
    MakeScript script;
    bool listed;
    std::optional<std::string> info;  // nullopt: info.log not written
    std::vector<std::string> logged;
  };
  const std::string unqueried_block =
      "   Interface Number: 0\r\n   \"\\Device\\up\"\r\n   \"\\Device\\low\"\r\n\r\n";
  const std::vector<std::string> unqueried_log = {Entry(50, "DeviceIoControl return error"),
                                                  Entry(50, "Query For Vendor Description Failed")};
  const Case cases[] = {
      {"no binding",
       [] {
         return Script{ddk::STATUS_SUCCESS, {0, 0}, 0};
       },
       true,
       "",
       {}},
      {"nothing returned",
       [] {
         return Script{ddk::STATUS_SUCCESS, {}, 0};
       },
       false,
       std::nullopt,
       {}},
      {"answer too long",
       [] {
         return Script{ddk::STATUS_BUFFER_OVERFLOW, {}, 0};
       },
       false,
       std::nullopt,
       {Entry(234, "DeviceIoControl return error")}},
      {"ends after an upper name",
       [] {
         return Script{ddk::STATUS_SUCCESS, Names({u"\\Device\\up"}, false), 0};
       },
       false,
       std::nullopt,
       {Entry(0, "Unexpected enumeration termination")}},
      {"empty lower name",
       [] {
         return Script{ddk::STATUS_SUCCESS, Names({u"\\Device\\up"}), 0};
       },
       false,
       std::nullopt,
       {Entry(0, "Unexpected enumeration termination")}},
      {"open answers an NDIS status",
       [] {
         return Script{ddk::STATUS_SUCCESS, Names({u"\\Device\\up", u"\\Device\\low"}), 0xC0000001};
       },
       false,
       std::nullopt,
       {Entry(-1073741823, "DeviceIoControl return error NdisStatus")}},
      {"last pair without the list's end",
       [] {
         return Script{ddk::STATUS_SUCCESS, Names({u"\\Device\\up", u"\\Device\\low"}, false), 0};
       },
       true, unqueried_block, unqueried_log},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(root_.WriteFile(std::string(kDestPath) + "/flowmeter.log", ""));
    std::filesystem::remove(root_.Host(kInfoLog));
    script = c.script();
    DeviceHandle device = OpenCaptureDevice();
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(ListAdapters(device), c.listed);
    EXPECT_EQ(root_.Exists(kInfoLog), c.info.has_value());
    if (c.info) {
      EXPECT_EQ(root_.ReadFile(kInfoLog), *c.info);
    }
    EXPECT_EQ(LogEntries(root_), c.logged);
  }

  // The NDIS status is also left as the thread's last error.
  script.open_word = 0xC0010011;
  EXPECT_FALSE(OpenBindingHandle(u"\\Device\\low").IsOpen());
  EXPECT_EQ(GetLastError(), 0xC0010011u);
}

// info.log that cannot be created fails the listing with the reason logged.
TEST_F(ScriptedDeviceTest, InfoLogThatCannotBeCreated) {
  script = {ddk::STATUS_SUCCESS, {0, 0}, 0};
  host::MutableSettings().DIRPACKETS = "/missing";
  DeviceHandle device = OpenCaptureDevice();
  ASSERT_TRUE(device.IsOpen());
  EXPECT_FALSE(ListAdapters(device));
  EXPECT_EQ(LogEntries(root_), std::vector<std::string>{Entry(3, "Unable to create info.log")});
}

}  // namespace
}  // namespace flowsentry::capture
