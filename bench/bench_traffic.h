// Shared by the whole-pipeline benchmarks: the generated traffic, the counters that match it,
// and the counters database's floor of one committed update per credit.
#ifndef FLOWSENTRY_BENCH_BENCH_TRAFFIC_H_
#define FLOWSENTRY_BENCH_BENCH_TRAFFIC_H_

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::bench {

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, Closer>;

// A connection that waits up to 5 s for locks, as the service's does.
Db OpenDb(const std::string& path);
// Runs SQL; false (after saying why on stderr) on an error.
bool Exec(sqlite3* db, const std::string& sql);
// The first column of the first row, or -1.
int64_t QueryInt(sqlite3* db, const std::string& sql);
std::string ReadWhole(const std::string& path);

// UDP frames from 16 hosts of 192.0.2.0/24 to 16 ports of 198.51.100.1, of varied lengths.
std::vector<ndis::testing::CapturedFrame> MakeFrames(int count);

// `count` counters of mixed kinds named c0, c1, ...: c0 counts everything on adapter 0, then one
// per destination port and one per source host (each record matches one of each), and the rest
// count traffic that never comes (a port list, a port range, a network, another adapter).
// Returns the counters a record matches on average.
double AddCounters(sqlite3* db, int count);

// 54 counters as operators write them, overlapping: totals (networks, ranges, ports), one per
// source host, one per destination port, one per group of four hosts and of four ports. A record of
// MakeFrames matches about 17 of them. Returns their parameters texts, named o0, o1, ...
std::vector<std::string> OverlappingCounters();

// Inserts counters named `prefix`0, `prefix`1, ... with the given parameters texts.
void InsertCounters(sqlite3* db, const std::string& prefix,
                    const std::vector<std::string>& parameters);

// The installation directory of the benchmarks' service (the registry value DESTPATH).
inline constexpr char kDestPath[] = "/opt/flowsentry";

// The settings of one benchmark run of the service.
struct RunSettings {
  std::string destpackets = "0";
  std::string stringconnect;
  std::string tablename;
  int threads = 1;
  std::string accounting;  // the [ACCOUNTING] section's lines, CR LF each; empty for none
};

// Writes the registry file (every value, DESTPATH kDestPath, DIRPACKETS its "packets" folder) and
// DESTPATH/flowmeter.cfg of the machine `root` for one run. False when a file cannot be written.
bool WriteRunSettings(const platform::testing::TempRoot& root, const RunSettings& run);

// The engine's floor on this machine: committed single-row UPDATEs per second, one per
// transaction, with the service's connection settings.
double RawUpdatesPerSecond(const std::string& path);

}  // namespace flowsentry::bench

#endif  // FLOWSENTRY_BENCH_BENCH_TRAFFIC_H_
