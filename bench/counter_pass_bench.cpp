// The capture thread's counter pass: every record against every rule of a realistic array.
//
//   build/bench/counter_pass_bench
//
// Reports rule tests per second and the heap allocations made per record (expected: zero).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "service/counters/counter_rule.h"
#include "service/counters/matching.h"
#include "shared/packet_record.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

// Counts every allocation of the process, so the pass can be shown to make none.
void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace flowsentry::counters {
namespace {

// One hundred definitions of the kinds operators write: per-host traffic, outside traffic, port
// ranges, subnets, protocol counters, MAC-bound counters, some on other adapters, some stopped.
CounterRuleArray MakeRules() {
  CounterRuleArray rules;
  for (int i = 0; i < 100; ++i) {
    const std::string host = "192.0.2." + std::to_string(i % 250 + 1);
    std::string parameters;
    switch (i % 8) {
      case 0:
        parameters = "Interface=0|1|,SourceProt=1,SourceIPoption=1,SourceIP=" + host +
                     "|198.51.100.7|,DestIPoption=5,DestIP=,SourceProt2=1,DestPortOption=1,"
                     "DestPort=80|443|8080|";
        break;
      case 1:
        parameters = "Interface=0|,DestProt=1,DestIPoption=1,DestIP=" + host + "|";
        break;
      case 2:
        parameters =
            "Interface=0|,SourceIPoption=3,SourceIP=203.0.113.0|255.255.255.0|,"
            "SourceProt2=2,SourcePortOption=5,SourcePort=1024|65535|";
        break;
      case 3:
        parameters =
            "Interface=0|2|,SourceIPoption=4,SourceIP=192.0.2.0|192.0.2.128|,"
            "DestPortOption=6,DestPort=1|1023|";
        break;
      case 4:
        parameters =
            "Interface=0|,SourceMac=00-0C-29-3A-4B-5C|02-00-00-00-00-01|,"
            "SourceProt=4,SourceCode=2048";
        break;
      case 5:
        parameters = "Interface=0|,SourceProt=2";
        break;
      case 6:
        parameters = "Interface=3|,SourceProt2=3";
        break;
      default:
        parameters =
            "Interface=0|,DestIPoption=5,DestIP=,DestProt2=2,DestPortOption=1,"
            "DestPort=53|";
        break;
    }
    BuildCounterRule("counter" + std::to_string(i), i % 17 == 0 ? kStateStopped : 0, parameters,
                     rules);
  }
  return rules;
}

// Decoded records of mixed traffic: TCP and UDP between documentation addresses, some ARP.
std::vector<PacketRecord> MakeRecords() {
  std::mt19937 random(42);
  std::vector<PacketRecord> records(4096);
  for (PacketRecord& r : records) {
    uint8_t bytes[kPacketRecordSize] = {};
    PacketRecord raw;
    raw.Interface = static_cast<uint16_t>(random() % 3);
    raw.PacketLength = 60 + random() % 1454;
    const uint8_t mac[6] = {0x00, 0x0C, 0x29,
                            0x3A, 0x4B, static_cast<uint8_t>(random() % 2 + 0x5B)};
    std::copy(mac, mac + 6, raw.SourceMac);
    const bool arp = random() % 20 == 0;
    raw.EtherType[0] = 0x08;
    raw.EtherType[1] = arp ? 0x06 : 0x00;
    raw.Protocol = random() % 2 ? 6 : 17;
    const uint8_t src[4] = {192, 0, 2, static_cast<uint8_t>(random() % 254 + 1)};
    const uint8_t dst[4] = {static_cast<uint8_t>(random() % 2 ? 203 : 10), 0, 113,
                            static_cast<uint8_t>(random() % 254 + 1)};
    std::copy(src, src + 4, raw.SourceIP);
    std::copy(dst, dst + 4, raw.DestIP);
    const uint16_t ports[] = {80, 443, 53, 8080, 22, 50000};
    const uint16_t dport = ports[random() % 6];
    const uint16_t sport = static_cast<uint16_t>(1024 + random() % 60000);
    raw.SourcePort[0] = static_cast<uint8_t>(sport >> 8);
    raw.SourcePort[1] = static_cast<uint8_t>(sport);
    raw.DestPort[0] = static_cast<uint8_t>(dport >> 8);
    raw.DestPort[1] = static_cast<uint8_t>(dport);
    EncodePacketRecord(raw, bytes);
    r = *DecodePacketRecord(bytes);
  }
  return records;
}

void BM_CounterPass(benchmark::State& state) {
  const CounterRuleArray rules = MakeRules();
  const std::vector<PacketRecord> records = MakeRecords();
  size_t next = 0;
  uint64_t matches = 0;
  uint64_t records_seen = 0;
  const uint64_t allocations_before = g_allocations.load();
  for (auto _ : state) {
    const PacketRecord& record = records[next];
    next = (next + 1) % records.size();
    for (const auto& rule : rules) {
      if (Matches(*rule, record)) ++matches;
    }
    ++records_seen;
  }
  const uint64_t allocations = g_allocations.load() - allocations_before;
  benchmark::DoNotOptimize(matches);
  state.counters["rule_tests_per_s"] = benchmark::Counter(
      static_cast<double>(records_seen * rules.size()), benchmark::Counter::kIsRate);
  state.counters["allocs_per_record"] =
      static_cast<double>(allocations) / static_cast<double>(records_seen);
  state.counters["matches_per_record"] =
      static_cast<double>(matches) / static_cast<double>(records_seen);
}
BENCHMARK(BM_CounterPass);

}  // namespace
}  // namespace flowsentry::counters

BENCHMARK_MAIN();
