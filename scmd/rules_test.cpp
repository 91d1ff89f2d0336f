// The pure pieces: the database text, the refusal rules, and the wire reader's bounds.
#include <gtest/gtest.h>

#include "platform/scm_wire.h"
#include "platform/service_control.h"
#include "scmd/service_database.h"
#include "scmd/service_rules.h"

namespace flowsentry::scmd {
namespace {

namespace fp = platform;

ServiceEntry Entry(std::string name) {
  ServiceEntry entry;
  entry.name = std::move(name);
  entry.display_name = "Meridan FlowSentry";
  entry.description = "counts = traffic; [really]";
  entry.binary_path = "/opt/flowsentry/flowmeter -x";
  entry.service_type = 0x110;
  entry.start_type = fp::SERVICE_AUTO_START;
  entry.error_control = fp::SERVICE_ERROR_NORMAL;
  return entry;
}

TEST(ServiceDatabaseTest, RoundTripsAndLeavesOutWhatCouldNotBeStored) {
  std::vector<ServiceEntry> entries = {Entry("flowSentry"), Entry("Other")};
  entries[1].marked_for_delete = true;
  entries[1].description = "";
  EXPECT_EQ(ParseServiceDatabase(FormatServiceDatabase(entries)), entries);

  // Hand-edited files: CR LF, a bad number, a duplicate (in another case), a name with a
  // slash, a section without a path.
  const std::string text =
      "stray=1\r\n[A]\r\nImagePath=/a\r\nType=16\r\nStart=3\r\nErrorControl=1\r\n"
      "[B]\nImagePath=/b\nType=16x\nStart=3\n"
      "[a]\nImagePath=/c\nType=16\nStart=3\n"
      "[x/y]\nImagePath=/d\nType=16\nStart=3\n"
      "[C]\nType=16\nStart=3\n";
  int rejected = 0;
  const auto parsed = ParseServiceDatabase(text, &rejected);
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].name, "A");
  EXPECT_EQ(parsed[0].binary_path, "/a");
  EXPECT_EQ(rejected, 4);
}

TEST(ServiceDatabaseTest, ChecksWhatCreateMayStore) {
  struct Case {
    const char* what;
    void (*change)(ServiceEntry&);
    fp::Win32Error expected;
  };
  const Case cases[] = {
      {"valid", [](ServiceEntry&) {}, fp::ERROR_SUCCESS},
      {"empty name", [](ServiceEntry& e) { e.name = ""; }, fp::ERROR_INVALID_NAME},
      {"backslash", [](ServiceEntry& e) { e.name = "a\\b"; }, fp::ERROR_INVALID_NAME},
      {"long name", [](ServiceEntry& e) { e.name.assign(257, 'n'); }, fp::ERROR_INVALID_NAME},
      {"newline in path", [](ServiceEntry& e) { e.binary_path += "\n[X]"; },
       fp::ERROR_INVALID_PARAMETER},
      {"newline in description", [](ServiceEntry& e) { e.description = "a\nb"; },
       fp::ERROR_INVALID_PARAMETER},
      {"empty path", [](ServiceEntry& e) { e.binary_path = ""; }, fp::ERROR_INVALID_PARAMETER},
      {"driver type", [](ServiceEntry& e) { e.service_type = 1; }, fp::ERROR_INVALID_PARAMETER},
      {"boot start", [](ServiceEntry& e) { e.start_type = 0; }, fp::ERROR_INVALID_PARAMETER},
      {"disabled", [](ServiceEntry& e) { e.start_type = fp::SERVICE_DISABLED; }, fp::ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    ServiceEntry entry = Entry("svc");
    c.change(entry);
    EXPECT_EQ(CheckServiceEntry(entry), c.expected) << c.what;
  }
  EXPECT_TRUE(SameServiceName("flowSentry", "FLOWSENTRY"));
  EXPECT_FALSE(SameServiceName("flowSentry", "flowSentry2"));
}

TEST(ServiceRulesTest, RefusesControlsByStateAndAcceptedControls) {
  struct Case {
    uint32_t state;
    uint32_t accepted;
    bool running;
    uint32_t control;
    fp::Win32Error expected;
  };
  const Case cases[] = {
      {fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, true, fp::SERVICE_CONTROL_STOP, 0},
      {fp::SERVICE_RUNNING, 0, true, fp::SERVICE_CONTROL_STOP, fp::ERROR_INVALID_SERVICE_CONTROL},
      {fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, true, fp::SERVICE_CONTROL_PAUSE,
       fp::ERROR_INVALID_SERVICE_CONTROL},
      {fp::SERVICE_RUNNING, 0, true, fp::SERVICE_CONTROL_INTERROGATE, 0},
      {fp::SERVICE_RUNNING, 0, true, 200, 0},
      {fp::SERVICE_START_PENDING, 0, true, fp::SERVICE_CONTROL_STOP,
       fp::ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {fp::SERVICE_START_PENDING, 0, true, fp::SERVICE_CONTROL_INTERROGATE, 0},
      {fp::SERVICE_STOP_PENDING, fp::SERVICE_ACCEPT_STOP, true, fp::SERVICE_CONTROL_STOP,
       fp::ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {fp::SERVICE_STOPPED, fp::SERVICE_ACCEPT_STOP, true, fp::SERVICE_CONTROL_STOP,
       fp::ERROR_SERVICE_NOT_ACTIVE},
      {fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, false, fp::SERVICE_CONTROL_INTERROGATE,
       fp::ERROR_SERVICE_NOT_ACTIVE},
      {fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, true, fp::SERVICE_CONTROL_SHUTDOWN,
       fp::ERROR_INVALID_PARAMETER},
      {fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, true, 0, fp::ERROR_INVALID_PARAMETER},
      {fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, true, 256, fp::ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    fp::SERVICE_STATUS status;
    status.dwCurrentState = c.state;
    status.dwControlsAccepted = c.accepted;
    EXPECT_EQ(ControlRefusal(status, c.running, c.control), c.expected)
        << "state " << c.state << " control " << c.control;
  }
  fp::SERVICE_STATUS stopped;
  stopped.dwCurrentState = fp::SERVICE_STOPPED;
  fp::SERVICE_STATUS pending;
  pending.dwCurrentState = fp::SERVICE_STOP_PENDING;
  EXPECT_EQ(StartRefusal(stopped, fp::SERVICE_DEMAND_START, false), 0u);
  EXPECT_EQ(StartRefusal(pending, fp::SERVICE_DEMAND_START, false),
            fp::ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(StartRefusal(stopped, fp::SERVICE_DISABLED, false), fp::ERROR_SERVICE_DISABLED);
  EXPECT_EQ(StartRefusal(stopped, fp::SERVICE_DEMAND_START, true),
            fp::ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(NeedsOwner(fp::SC_MANAGER_CONNECT | fp::SC_MANAGER_ENUMERATE_SERVICE, false));
  EXPECT_TRUE(NeedsOwner(fp::SC_MANAGER_ALL_ACCESS, false));
  EXPECT_FALSE(NeedsOwner(fp::SERVICE_QUERY_STATUS | fp::SERVICE_QUERY_CONFIG, true));
  EXPECT_TRUE(NeedsOwner(fp::SERVICE_START, true));
  EXPECT_TRUE(NeedsOwner(fp::SERVICE_INTERROGATE, true));
}

TEST(ScmWireTest, ReadsBackWhatWasWrittenAndNothingPastTheEnd) {
  const auto frame = fp::scm_wire::Writer(fp::scm_wire::kOpCreate).Str("name").U32(7).Frame();
  ASSERT_EQ(fp::scm_wire::BodyLength(frame.data()), frame.size() - 4);
  const std::span<const uint8_t> body(frame.data() + 4, frame.size() - 4);
  fp::scm_wire::Reader reader(body);
  std::string text;
  uint32_t value = 0;
  EXPECT_EQ(reader.op(), fp::scm_wire::kOpCreate);
  EXPECT_FALSE(reader.Done());
  ASSERT_TRUE(reader.Str(text) && reader.U32(value));
  EXPECT_EQ(text, "name");
  EXPECT_EQ(value, 7u);
  EXPECT_TRUE(reader.Done());
  EXPECT_FALSE(reader.U32(value));
  EXPECT_FALSE(reader.Done());

  // Every cut of the body fails somewhere instead of reading past it.
  for (size_t cut = 1; cut < body.size(); ++cut) {
    fp::scm_wire::Reader shorter(body.first(cut));
    const bool all = shorter.Str(text) && shorter.U32(value);
    EXPECT_FALSE(all && shorter.Done()) << cut;
  }
  fp::scm_wire::Reader limited(body);
  EXPECT_FALSE(limited.Str(text, 3));
  EXPECT_FALSE(fp::scm_wire::Reader({}).ok());
}

TEST(ImagePathTest, QuotedPathsCarryArgumentsUnquotedOnesAreTakenWhole) {
  using Pieces = std::vector<std::string>;
  const struct {
    const char* path;
    Pieces pieces;
  } cases[] = {
      {"/opt/flowsentry/flowmeter", {"/opt/flowsentry/flowmeter"}},
      {"/opt/flow sentry/flowmeter", {"/opt/flow sentry/flowmeter"}},
      {"/opt/svc run --log /x", {"/opt/svc run --log /x"}},
      {"\"/opt/flow sentry/flowmeter\"", {"/opt/flow sentry/flowmeter"}},
      {"\"/opt/a b/svc\"  run\t--log \"/var/log b\" \"\"",
       {"/opt/a b/svc", "run", "--log", "/var/log b", ""}},
      {"\"/opt/a b/svc", {"/opt/a b/svc"}},
      {"", {}},
      {"\"\" run", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitImagePath(c.path), c.pieces) << c.path;
}

}  // namespace
}  // namespace flowsentry::scmd
