// Counter parameters through BuildCounterRule, then Matches against a packet record: the input's
// first 41 bytes are the record (as the driver hands it over), the next the state, the rest the
// parameters text. The rule keeps the shape the matching relies on.
#include <cstring>
#include <span>

#include "fuzz/fuzz_check.h"
#include "service/counters/counter_rule.h"
#include "service/counters/matching.h"
#include "shared/packet_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry;
  using namespace flowsentry::counters;
  if (size < kPacketRecordSize + 1) return 0;
  const std::optional<PacketRecord> record =
      DecodePacketRecord(std::span<const uint8_t>(data, kPacketRecordSize));
  FUZZ_CHECK(record.has_value());
  const uint8_t state = data[kPacketRecordSize];
  const std::string_view parameters =
      fuzz::AsText(data + kPacketRecordSize + 1, size - kPacketRecordSize - 1);

  CounterRuleArray rules;
  BuildCounterRule("fuzz", state, parameters, rules);
  FUZZ_CHECK(rules.size() == 1 && rules[0] != nullptr);
  const CounterRule& rule = *rules[0];
  FUZZ_CHECK(!rule.interfaces.empty());
  for (const auto* macs : {&rule.source_macs, &rule.dest_macs}) {
    if (macs->has_value()) FUZZ_CHECK(!(*macs)->empty() && (*macs)->back() == kMacListEnd);
  }
  const bool matched = Matches(rule, *record);
  if (state == kStateStopped) FUZZ_CHECK(!matched);
  if (matched) {
    FUZZ_CHECK(MatchInterface(rule, record->Interface));
    FUZZ_CHECK(MatchMac(rule, Side::Source, record->SourceMac));
    FUZZ_CHECK(MatchMac(rule, Side::Dest, record->DestMac));
  }
  // The same text builds the same rule.
  const CounterRule again = MakeCounterRule("fuzz", state, parameters);
  FUZZ_CHECK(Matches(again, *record) == matched);
  return 0;
}
