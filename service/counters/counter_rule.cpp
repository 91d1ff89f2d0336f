#include "service/counters/counter_rule.h"

#include "platform/atoi.h"
#include "platform/net.h"

namespace flowsentry::counters {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Visits the trimmed pieces of `text` between runs of `separator`, as strtok would cut them,
// until a piece is blank (which ends the walk) or `visit` returns false.
template <typename Visit>
void ForEachEntry(std::string_view text, char separator, Visit&& visit) {
  size_t pos = 0;
  while (true) {
    while (pos < text.size() && text[pos] == separator) ++pos;
    if (pos >= text.size()) return;
    size_t end = text.find(separator, pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view entry = Trim(text.substr(pos, end - pos));
    if (entry.empty() || !visit(entry)) return;
    pos = end;
  }
}

bool HasBar(std::string_view value) { return value.find('|') != std::string_view::npos; }

// A hexadecimal digit as the definitions write it: "0"-"9" and "A"-"F"; anything else is 255.
unsigned HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 255;
}

// Six groups separated by "-", each read from its first two characters. A missing digit counts
// as 255 like a wrong one, and so does each digit of a missing group (giving 0xEF), so a short
// entry never turns into the list's end marker; groups after the sixth are ignored.
MacAddress ParseMac(std::string_view entry) {
  MacAddress mac{};
  size_t pos = 0;
  for (size_t group = 0; group < mac.size(); ++group) {
    std::string_view text;
    if (pos <= entry.size()) {
      size_t end = entry.find('-', pos);
      if (end == std::string_view::npos) end = entry.size();
      text = entry.substr(pos, end - pos);
      pos = end + 1;
    }
    const unsigned high = text.size() >= 1 ? HexDigit(text[0]) : 255;
    const unsigned low = text.size() >= 2 ? HexDigit(text[1]) : 255;
    mac[group] = static_cast<uint8_t>(16 * high + low);
  }
  return mac;
}

std::optional<std::vector<MacAddress>> ParseMacList(std::string_view value) {
  if (!HasBar(value)) return std::nullopt;
  std::vector<MacAddress> list;
  ForEachEntry(value, '|', [&](std::string_view entry) {
    list.push_back(ParseMac(entry));
    return true;
  });
  list.push_back(kMacListEnd);
  return list;
}

void ParseAddressFilter(std::string_view value, uint8_t option, AddressFilter& filter) {
  if (!HasBar(value)) return;
  switch (option) {
    case 1:
    case 2:
      filter.list.emplace();
      ForEachEntry(value, '|', [&](std::string_view entry) {
        filter.list->push_back(platform::InetAddr(entry));
        return true;
      });
      break;
    case 3:
      filter.list.emplace();
      ForEachEntry(value, '|', [&](std::string_view entry) {
        if (filter.list->empty()) {
          filter.list->push_back(platform::InetAddr(entry));
        } else {
          filter.mask = platform::InetAddr(entry);
        }
        return true;
      });
      break;
    case 4: {
      bool first = true;
      ForEachEntry(value, '|', [&](std::string_view entry) {
        (first ? filter.low : filter.high) = platform::InetAddr(entry);
        first = false;
        return true;
      });
      break;
    }
    default:
      break;
  }
}

uint16_t ToPort(std::string_view entry) { return static_cast<uint16_t>(platform::Atoi(entry)); }

void ParsePortFilter(std::string_view value, uint8_t option, PortFilter& filter) {
  if (value.empty()) return;
  switch (option) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 7:
      filter.list.emplace();
      ForEachEntry(value, '|', [&](std::string_view entry) {
        filter.list->push_back(ToPort(entry));
        return true;
      });
      break;
    case 5:
    case 6: {
      bool first = true;
      ForEachEntry(value, '|', [&](std::string_view entry) {
        (first ? filter.low : filter.high) = ToPort(entry);
        first = false;
        return true;
      });
      break;
    }
    default:
      break;
  }
}

}  // namespace

std::string_view GetParameterValue(std::string_view parameters, std::string_view key) {
  std::string_view found;
  ForEachEntry(parameters, ',', [&](std::string_view item) {
    const size_t eq = item.find('=');
    const std::string_view item_key =
        eq == std::string_view::npos ? std::string_view{} : item.substr(0, eq);
    if (!EqualsIgnoringCase(item_key, key)) return true;
    found = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    return false;
  });
  return found;
}

CounterRule MakeCounterRule(std::string_view countername, uint8_t state,
                            std::string_view parameters) {
  CounterRule rule;
  rule.name = std::string(countername);
  rule.state = state;

  auto value = [&](std::string_view key) { return GetParameterValue(parameters, key); };
  auto u8 = [&](std::string_view key) { return static_cast<uint8_t>(platform::Atoi(value(key))); };
  auto u16 = [&](std::string_view key) {
    return static_cast<uint16_t>(platform::Atoi(value(key)));
  };

  rule.interfaces.clear();
  ForEachEntry(value("Interface"), '|', [&](std::string_view entry) {
    rule.interfaces.push_back(static_cast<uint8_t>(platform::Atoi(entry)));
    return true;
  });
  rule.interfaces.push_back(kInterfaceListEnd);

  rule.source_macs = ParseMacList(value("SourceMac"));
  rule.dest_macs = ParseMacList(value("DestMac"));
  rule.SourceProt = u16("SourceProt");
  rule.DestProt = u16("DestProt");
  rule.SourceCode = u16("SourceCode");
  rule.DestCode = u16("DestCode");
  rule.SourceIPoption = u8("SourceIPoption");
  rule.DestIPoption = u8("DestIPoption");
  ParseAddressFilter(value("SourceIP"), rule.SourceIPoption, rule.source_ip);
  ParseAddressFilter(value("DestIP"), rule.DestIPoption, rule.dest_ip);
  rule.SourceProt2 = u8("SourceProt2");
  rule.DestProt2 = u8("DestProt2");
  rule.SourcePortOption = u8("SourcePortOption");
  rule.DestPortOption = u8("DestPortOption");
  ParsePortFilter(value("SourcePort"), rule.SourcePortOption, rule.source_port);
  ParsePortFilter(value("DestPort"), rule.DestPortOption, rule.dest_port);
  return rule;
}

void BuildCounterRule(std::string_view countername, uint8_t state, std::string_view parameters,
                      CounterRuleArray& rules) {
  rules.push_back(std::make_unique<CounterRule>(MakeCounterRule(countername, state, parameters)));
}

}  // namespace flowsentry::counters
