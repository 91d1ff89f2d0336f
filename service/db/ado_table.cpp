#include "service/db/ado_table.h"

#include <charconv>
#include <limits>
#include <type_traits>

namespace flowsentry::db {
namespace {

// A text as a whole decimal number, as an engine converts a text to a number column.
bool ParseWholeNumber(std::string_view text, int64_t& number) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

template <typename Int>
void ReadNumber(const DbValue& value, Int* buffer, uint32_t& status) {
  int64_t number = 0;
  if (const auto* integer = std::get_if<int64_t>(&value)) {
    number = *integer;
  } else if (!ParseWholeNumber(std::get<std::string>(value), number)) {
    *buffer = 0;
    status = kColumnCantConvert;
    return;
  }
  *buffer = static_cast<Int>(number);
  status = number < std::numeric_limits<Int>::min() || number > std::numeric_limits<Int>::max()
               ? kColumnDataOverflow
               : kColumnOk;
}

// Reads one column value into its bound buffer and sets the column's status.
void ReadColumn(const DbValue& value, const ColumnBinding& binding) {
  uint32_t& status = *binding.status;
  if (std::holds_alternative<std::monostate>(value)) {
    std::visit(
        [](auto&& buffer) {
          using Buffer = std::decay_t<decltype(buffer)>;
          if constexpr (std::is_same_v<Buffer, TextBuffer>) {
            buffer.value->clear();
          } else {
            *buffer = 0;
          }
        },
        binding.buffer);
    status = kColumnNull;
    return;
  }
  std::visit(
      [&value, &status](auto&& buffer) {
        using Buffer = std::decay_t<decltype(buffer)>;
        if constexpr (std::is_same_v<Buffer, TextBuffer>) {
          const std::string text = std::holds_alternative<int64_t>(value)
                                       ? std::to_string(std::get<int64_t>(value))
                                       : std::get<std::string>(value);
          const size_t kept = Utf8PrefixBytes(text, buffer.buffer_size - 1);
          *buffer.value = text.substr(0, kept);
          status = kept < text.size() ? kColumnTruncated : kColumnOk;
        } else {
          ReadNumber(value, buffer, status);
        }
      },
      binding.buffer);
}

DbParameter StoredValue(const ColumnBinding& binding) {
  if (*binding.status == kColumnNull) return std::monostate{};
  return std::visit(
      [](auto&& buffer) -> DbParameter {
        using Buffer = std::decay_t<decltype(buffer)>;
        if constexpr (std::is_same_v<Buffer, TextBuffer>) {
          const std::string_view text = *buffer.value;
          return text.substr(0, Utf8PrefixBytes(text, buffer.buffer_size - 1));
        } else {
          return static_cast<int64_t>(*buffer);
        }
      },
      binding.buffer);
}

}  // namespace

size_t Utf8PrefixBytes(std::string_view text, size_t characters) {
  const auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  const auto continuation = [&](size_t i, uint8_t low, uint8_t high) {
    return i < text.size() && byte(i) >= low && byte(i) <= high;
  };
  size_t i = 0;
  for (size_t counted = 0; counted < characters && i < text.size(); ++counted) {
    const uint8_t lead = byte(i);
    // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
    size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = continuation(i + 1, 0x80, 0xBF) ? 2 : 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      const uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
      const uint8_t high = lead == 0xED ? 0x9F : 0xBF;
      length = continuation(i + 1, low, high) && continuation(i + 2, 0x80, 0xBF) ? 3 : 1;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      const uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
      const uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
      length = continuation(i + 1, low, high) && continuation(i + 2, 0x80, 0xBF) &&
                       continuation(i + 3, 0x80, 0xBF)
                   ? 4
                   : 1;
    }
    i += length;
  }
  return i;
}

AdoTable::~AdoTable() { Close(); }

bool AdoTable::Bind() {
  if (connection_ == nullptr || recordset_ == nullptr) return false;
  for (const ColumnBinding& binding : bindings_) {
    if (binding.ordinal == 0 || binding.ordinal > recordset_->ColumnCount()) {
      open_error_ = DbError{kDbErrorsInCommand,
                            kAccessLayerSource,
                            "The row binds column " + std::to_string(binding.ordinal) +
                                ", which the table " + table_ + " does not have.",
                            {}};
      return false;
    }
  }
  bound_ = true;
  return true;
}

bool AdoTable::Open(std::string_view connection_string, std::string_view table) {
  Close();
  table_ = std::string(table);
  open_error_ = DbError{};
  if (!OpenDbConnection(connection_string, connection_, open_error_)) {
    connection_.reset();
    ReportOpenError(open_error_);
    return false;
  }
  if (!connection_->OpenTable(table, recordset_)) {
    const DbError error = connection_->error();
    Close();
    ReportOpenError(error);
    return false;
  }
  if (!Bind()) {
    const DbError error = open_error_.hresult != 0 ? open_error_ : connection_->error();
    Close();
    ReportOpenError(error);
    return false;
  }
  return true;
}

bool AdoTable::IsOpen() const {
  return connection_ != nullptr && recordset_ != nullptr && bound_ && connection_->IsOpen() &&
         recordset_->IsOpen();
}

void AdoTable::Close() {
  bound_ = false;
  if (recordset_ != nullptr) recordset_->Close();
  recordset_.reset();
  if (connection_ != nullptr) connection_->Close();
  connection_.reset();
}

void AdoTable::SetBusyTimeout(uint32_t milliseconds) {
  if (connection_ != nullptr) connection_->SetBusyTimeout(milliseconds);
}

bool AdoTable::MoveAndRead(bool first) {
  if (!IsOpen()) return false;
  if (!(first ? recordset_->MoveFirst() : recordset_->MoveNext())) return false;
  if (recordset_->IsEof()) return true;
  const std::vector<DbValue>& row = recordset_->CurrentRow();
  for (const ColumnBinding& binding : bindings_) ReadColumn(row[binding.ordinal - 1], binding);
  return true;
}

bool AdoTable::AtEnd() const {
  return recordset_ == nullptr || recordset_->IsBof() || recordset_->IsEof();
}

bool AdoTable::AddBoundRow() {
  if (!IsOpen()) return false;
  // Columns the row does not bind, up to the last bound one, are stored as NULL.
  size_t count = 0;
  for (const ColumnBinding& binding : bindings_) count = std::max(count, binding.ordinal);
  std::vector<DbParameter> values(count);
  for (const ColumnBinding& binding : bindings_) values[binding.ordinal - 1] = StoredValue(binding);
  return recordset_->AddRow(values);
}

bool AdoTable::AddBoundRows(size_t count, const std::function<void(size_t)>& fill, size_t& stored) {
  stored = 0;
  if (!IsOpen()) return false;
  if (count == 0) return true;
  size_t width = 0;
  for (const ColumnBinding& binding : bindings_) width = std::max(width, binding.ordinal);
  // Every value gets a text slot before any is filled, so that no slot moves once a value
  // points into it.
  batch_values_.assign(count * width, std::monostate{});
  batch_texts_.resize(count * width);
  for (size_t row = 0; row < count; ++row) {
    fill(row);
    for (const ColumnBinding& binding : bindings_) {
      const size_t slot = row * width + binding.ordinal - 1;
      DbParameter value = StoredValue(binding);
      if (const auto* text = std::get_if<std::string_view>(&value)) {
        value = std::string_view(batch_texts_[slot].assign(*text));
      }
      batch_values_[slot] = value;
    }
  }
  return recordset_->AddRows(batch_values_, width, stored);
}

const DbError& AdoTable::error() const {
  static const DbError kNoConnection{kAdoObjectClosed,
                                     kAccessLayerSource,
                                     "Operation is not allowed when the object is closed.",
                                     {}};
  return connection_ != nullptr ? connection_->error() : kNoConnection;
}

}  // namespace flowsentry::db
