#include "service/db/db_engine.h"

#include <cctype>

#include "service/db/postgres_engine.h"
#include "service/db/sqlite_engine.h"

namespace flowsentry::db {
namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Providers served by the SQLite engine: the Jet provider the stored connection strings name,
// and SQLite by its own name.
bool IsSqliteProvider(std::string_view provider) {
  const std::string lower = Lower(provider);
  return lower == "microsoft.jet.oledb.4.0" || lower == "sqlite";
}

// Providers served by the PostgreSQL engine: its own name and the name of its OLE DB provider,
// which connection strings written for Windows hosts carry.
bool IsPostgresProvider(std::string_view provider) {
  const std::string lower = Lower(provider);
  return lower == "postgresql" || lower == "postgresql ole db provider";
}

}  // namespace

ConnectionProperties ParseConnectionString(std::string_view text) {
  ConnectionProperties properties;
  size_t i = 0;
  while (i < text.size()) {
    const size_t equals = text.find('=', i);
    const size_t semicolon = text.find(';', i);
    if (equals == std::string_view::npos ||
        (semicolon != std::string_view::npos && semicolon < equals)) {
      // A piece without "=": skipped.
      if (semicolon == std::string_view::npos) break;
      i = semicolon + 1;
      continue;
    }
    const std::string key = Lower(Trim(text.substr(i, equals - i)));
    size_t j = equals + 1;
    while (j < text.size() && IsBlank(text[j]) && text[j] != ';') ++j;
    std::string value;
    if (j < text.size() && (text[j] == '\'' || text[j] == '"')) {
      const char quote = text[j++];
      while (j < text.size()) {
        if (text[j] == quote) {
          if (j + 1 < text.size() && text[j + 1] == quote) {
            value += quote;
            j += 2;
            continue;
          }
          ++j;
          break;
        }
        value += text[j++];
      }
      // Whatever stands between the closing quote and the next ";" is dropped.
      const size_t end = text.find(';', j);
      i = end == std::string_view::npos ? text.size() : end + 1;
    } else {
      const size_t end = text.find(';', j);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      value = std::string(Trim(text.substr(j, stop - j)));
      i = end == std::string_view::npos ? text.size() : end + 1;
    }
    if (!key.empty()) properties[key] = std::move(value);
  }
  return properties;
}

bool OpenDbConnection(std::string_view connection_string, std::unique_ptr<DbConnection>& connection,
                      DbError& error) {
  connection.reset();
  const ConnectionProperties properties = ParseConnectionString(connection_string);
  const auto provider = properties.find("provider");
  if (provider != properties.end() && IsPostgresProvider(provider->second)) {
    return OpenPostgresConnection(properties, connection, error);
  }
  if (provider == properties.end() || !IsSqliteProvider(provider->second)) {
    error = DbError{kAdoProviderNotFound,
                    kAccessLayerSource,
                    "Provider cannot be found. It may not be properly installed.",
                    {}};
    return false;
  }
  const auto source = properties.find("data source");
  if (source == properties.end() || source->second.empty()) {
    error = DbError{kEFail, kAccessLayerSource, "The connection string names no data source.", {}};
    return false;
  }
  const auto mode = properties.find("mode");
  const bool read_only = mode != properties.end() && Lower(mode->second) == "read";
  return OpenSqliteConnection(source->second, connection, error, read_only);
}

}  // namespace flowsentry::db
