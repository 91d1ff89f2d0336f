#include "bench/bench_traffic.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/root.h"

namespace flowsentry::bench {
namespace {

using Clock = std::chrono::steady_clock;
using ndis::testing::CapturedFrame;

constexpr int kHosts = 16;
constexpr int kPorts = 16;

}  // namespace

Db OpenDb(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  return Db(db);
}

bool Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return true;
  std::fprintf(stderr, "pipeline_bench: %s\n", error != nullptr ? error : "?");
  sqlite3_free(error);
  return false;
}

int64_t QueryInt(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    value = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  return value;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// UDP frames from 16 hosts of 192.0.2.0/24 to 16 ports of 198.51.100.1, of varied lengths.
std::vector<CapturedFrame> MakeFrames(int count) {
  const std::vector<uint8_t> host_mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x10};
  const std::vector<uint8_t> peer_mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x20};
  std::vector<CapturedFrame> frames;
  frames.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    CapturedFrame frame;
    frame.seconds = 1700000000 + static_cast<uint32_t>(i / 1000);
    frame.fraction = static_cast<uint32_t>(i % 1000) * 1000;
    frame.bytes =
        ndis::testing::UdpFrame(peer_mac, host_mac, 0xC0000200 + (i % kHosts), 0xC6336401, 40000,
                                static_cast<uint16_t>(1000 + (i / kHosts) % kPorts),
                                static_cast<size_t>(18 + (i * 37) % 1400));
    frames.push_back(std::move(frame));
  }
  return frames;
}

// Counters of mixed kinds: one for everything on the adapter, one per destination port and one
// per source host (each record matches one of each), and the rest for traffic that never comes
// (a port list, a port range, a network, another adapter). Returns
// the matches per record.
double AddCounters(sqlite3* db, int count) {
  std::vector<std::string> parameters = {"Interface=0|"};
  for (int p = 0; p < kPorts; ++p) {
    parameters.push_back("Interface=0|,DestPortOption=1,DestPort=" + std::to_string(1000 + p) +
                         "|");
  }
  for (int h = 0; h < kHosts; ++h) {
    parameters.push_back("Interface=0|,SourceIPoption=1,SourceIP=192.0.2." + std::to_string(h) +
                         "|");
  }
  const std::vector<std::string> idle = {
      "Interface=0|,SourcePortOption=1,SourcePort=7|",
      "Interface=0|,DestPortOption=5,DestPort=5000|6000|",
      "Interface=0|,SourceIPoption=3,SourceIP=10.0.0.0|255.0.0.0|",
      "Interface=1|",
  };
  double matches = 0;
  for (int i = 0; i < count; ++i) {
    const bool busy = static_cast<size_t>(i) < parameters.size();
    const std::string& text = busy ? parameters[static_cast<size_t>(i)] : idle[i % idle.size()];
    if (i == 0) {
      matches += 1;
    } else if (busy) {
      matches += i <= kPorts ? 1.0 / kPorts : 1.0 / kHosts;
    }
    if (!Exec(db, "INSERT INTO counters (countername, parameters) VALUES ('c" + std::to_string(i) +
                      "', '" + text + "')")) {
      std::exit(1);
    }
  }
  return matches;
}

std::vector<std::string> OverlappingCounters() {
  std::vector<std::string> parameters = {
      "Interface=0|",
      "Interface=0|,SourceIPoption=3,SourceIP=192.0.2.0|255.255.255.0|",
      "Interface=0|,DestIPoption=3,DestIP=198.51.100.0|255.255.255.0|",
      "Interface=0|,DestIPoption=1,DestIP=198.51.100.1|",
      "Interface=0|,SourceIPoption=4,SourceIP=192.0.2.0|192.0.2.255|",
      "Interface=0|,DestIPoption=4,DestIP=198.51.100.0|198.51.100.255|",
      "Interface=0|,SourcePortOption=1,SourcePort=40000|",
      "Interface=0|,SourcePortOption=5,SourcePort=1024|65535|",
      "Interface=0|,DestPortOption=5,DestPort=1000|1015|",
      "Interface=0|,DestPortOption=5,DestPort=1|65535|",
      "Interface=0|,SourceIPoption=3,SourceIP=192.0.2.0|255.255.255.0|,DestPortOption=5,"
      "DestPort=1000|1015|",
      "Interface=0|,SourceIPoption=3,SourceIP=192.0.0.0|255.0.0.0|",
      "Interface=0|,DestIPoption=3,DestIP=198.0.0.0|255.0.0.0|",
  };
  for (int h = 0; h < kHosts; ++h) {
    parameters.push_back("Interface=0|,SourceIPoption=1,SourceIP=192.0.2." + std::to_string(h) +
                         "|");
  }
  for (int p = 0; p < kPorts; ++p) {
    parameters.push_back("Interface=0|,DestPortOption=1,DestPort=" + std::to_string(1000 + p) +
                         "|");
  }
  for (int g = 0; g < kHosts / 4; ++g) {
    parameters.push_back("Interface=0|,SourceIPoption=3,SourceIP=192.0.2." + std::to_string(4 * g) +
                         "|255.255.255.252|");
  }
  for (int g = 0; g < kPorts / 4; ++g) {
    parameters.push_back("Interface=0|,DestPortOption=5,DestPort=" + std::to_string(1000 + 4 * g) +
                         "|" + std::to_string(1003 + 4 * g) + "|");
  }
  parameters.push_back(
      "Interface=0|,SourcePortOption=1,SourcePort=40000|,DestPortOption=5,"
      "DestPort=1000|1015|");
  return parameters;
}

void InsertCounters(sqlite3* db, const std::string& prefix,
                    const std::vector<std::string>& parameters) {
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (!Exec(db, "INSERT INTO counters (countername, parameters) VALUES ('" + prefix +
                      std::to_string(i) + "', '" + parameters[i] + "')")) {
      std::exit(1);
    }
  }
}

bool WriteRunSettings(const platform::testing::TempRoot& root, const RunSettings& run) {
  const std::string destpath = kDestPath;
  const std::string registry =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\FlowSentry]\r\n"
      "\"DESTPATH\"=\"" +
      destpath + "\"\r\n\"DIRPACKETS\"=\"" + destpath +
      "/packets\"\r\n\"OPTIONS\"=\"255\"\r\n\"INTERVALCREATEFILE\"=\"60\"\r\n"
      "\"STRINGCONNECT\"=\"" +
      run.stringconnect + "\"\r\n\"TABLENAME\"=\"" + run.tablename + "\"\r\n\"DESTPACKETS\"=\"" +
      run.destpackets + "\"\r\n";
  const std::string registry_path = platform::LocationPath(platform::Location::kRegistry);
  std::filesystem::create_directories(std::filesystem::path(registry_path).parent_path());
  std::string config = "[THREAD]\r\ncountThread=" + std::to_string(run.threads) + "\r\n";
  if (!run.accounting.empty()) config += "[ACCOUNTING]\r\n" + run.accounting;
  return root.WriteFile(registry_path.substr(root.path().size()), registry) &&
         root.WriteFile(destpath + "/flowmeter.cfg", config);
}

// The engine's floor on this machine: one committed single-row UPDATE per credit.
double RawUpdatesPerSecond(const std::string& path) {
  Db db = OpenDb(path);
  Exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db.get(),
                     "UPDATE counters SET packets = packets + 1, bytes = bytes + ?1 "
                     "WHERE countername = ?2",
                     -1, &statement, nullptr);
  constexpr int kUpdates = 20000;
  const auto start = Clock::now();
  for (int i = 0; i < kUpdates; ++i) {
    sqlite3_bind_int64(statement, 1, 100);
    const std::string name = "c" + std::to_string(i % 10);
    sqlite3_bind_text(statement, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(statement);
    sqlite3_reset(statement);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(statement);
  Exec(db.get(), "UPDATE counters SET packets = 0, bytes = 0");
  return kUpdates / seconds;
}

}  // namespace flowsentry::bench
