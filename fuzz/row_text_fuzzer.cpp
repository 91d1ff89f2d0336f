// Row text, split and added to a real SQLite `counters` table with CounterTable::AddFromText: a
// row the table takes reads back as the text described it, and is removed again so that every
// input meets the same empty table.
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/testing/temp_root.h"
#include "service/counters/counter_table.h"
#include "service/host/config.h"

namespace flowsentry::counters {
namespace {

constexpr char kDestPath[] = "/opt/flowsentry";

struct Fixture {
  Fixture() {
    host::MutableSettings().DESTPATH = kDestPath;
    std::filesystem::create_directories(root.Host(std::string(kDestPath) + "/DB"));
    std::ifstream in(FLOWSENTRY_SCHEMA_PATH);
    std::ostringstream schema;
    schema << in.rdbuf();
    sqlite3* raw = nullptr;
    const std::string path = root.Host(std::string(kDestPath) + "/DB/counters.mdb");
    if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK ||
        sqlite3_exec(raw, schema.str().c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "cannot create the counters database at %s\n", path.c_str());
      std::abort();
    }
    sqlite3_close_v2(raw);
    if (!table.Open(CountersConnectionString(), kCountersTable)) {
      std::fprintf(stderr, "cannot open the counters table\n");
      std::abort();
    }
  }

  platform::testing::TempRoot root;
  CounterTable table;
  uint64_t runs = 0;
};

}  // namespace
}  // namespace flowsentry::counters

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry::counters;
  // Made once and kept for the whole run, as the service keeps its table; its folder goes at exit.
  static Fixture fixture;
  CounterTable& table = fixture.table;
  const std::string_view text = flowsentry::fuzz::AsText(data, size);

  for (std::string_view piece : SplitRowText(text)) {
    FUZZ_CHECK(!piece.empty() && piece.find(';') == std::string_view::npos);
  }
  const CounterRow parsed = ParseRowText(text);
  if (RowTextReadsBack(parsed)) {
    const CounterRow again = ParseRowText(FormatRowText(parsed));
    FUZZ_CHECK(again.countername == parsed.countername && again.parameters == parsed.parameters);
    FUZZ_CHECK(again.packets == parsed.packets && again.bytes == parsed.bytes);
  }

  if (table.AddFromText(text)) {
    FUZZ_CHECK(table.MoveToRow(true));
    const CounterRow& stored = table.row();
    FUZZ_CHECK(stored.countername == parsed.countername);
    FUZZ_CHECK(stored.packets == parsed.packets && stored.bytes == parsed.bytes);
    FUZZ_CHECK(stored.state == parsed.state);
    FUZZ_CHECK(stored.parameters == parsed.parameters);
    FUZZ_CHECK(!table.MoveToRow(false));  // the only row
    FUZZ_CHECK(table.RemoveRow(parsed.countername));
    FUZZ_CHECK(!table.MoveToRow(true));
  }
  // Refused adds are reported in the diagnostic log; keep it from filling the disk on long runs.
  if (++fixture.runs % 4096 == 0) {
    std::filesystem::remove(fixture.root.Host(std::string(kDestPath) + "/flowmeter.log"));
  }
  return 0;
}
