#include "service/host/log.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/time.h"
#include "service/host/config.h"

namespace flowsentry::host {
namespace {

constexpr char kLogName[] = "flowmeter.log";

// Another of our processes (the service being replaced at its restart, say) may hold the file
// for the moment of its own line: a few short retries let both lines through.
constexpr int kOpenAttempts = 50;
constexpr auto kRetryPause = std::chrono::milliseconds(2);

// One line at a time from this process: the open denies other writers, so overlapping calls
// would otherwise fail on each other.
std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string FormatLogLine(std::string_view timestamp, int32_t code, std::string_view text) {
  std::string line;
  line.reserve(timestamp.size() + text.size() + 40);
  line += "Time: ";
  line += timestamp;
  line += " Code: ";
  line += std::to_string(code);
  line += " Text: ";
  line += text;
  line += "\r\n";
  return line;
}

std::string LogTimestamp(int64_t seconds) {
  const std::optional<platform::LocalTime> local = platform::ToLocalTime(seconds);
  if (!local) return {};
  return platform::FormatTime("%d.%m.%y %H:%M:%S", *local, 128);
}

std::string LogFilePath() {
  const std::string& destination = settings().DESTPATH;
  if (destination.empty()) return std::string("/") + kLogName;
  return destination + "/" + kLogName;
}

void WriteLog(std::string_view text, int32_t code) {
  const platform::Win32Error saved_error = platform::GetLastError();
  const std::string line =
      FormatLogLine(LogTimestamp(platform::Now()), code, platform::Utf8ToCp1251(text));
  const std::string path = LogFilePath();
  {
    const std::lock_guard lock(LogMutex());
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      platform::File file =
          platform::File::Open(path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                               platform::FILE_SHARE_READ, platform::Disposition::kOpenAlways);
      if (file.IsOpen()) {
        if (file.Seek(0, platform::SeekOrigin::kEnd)) file.Write(line);
        break;
      }
      if (platform::GetLastError() != platform::ERROR_SHARING_VIOLATION) break;
      std::this_thread::sleep_for(kRetryPause);
    }
  }
  platform::SetLastError(saved_error);
}

void ApplyLogSizeLimit() {
  const std::string path = LogFilePath();
  const std::optional<platform::FileInfo> info = platform::FindFile(path);
  if (!info || info->is_directory) return;
  if (info->size > kLogSizeLimit) platform::DeleteFile(path);
}

}  // namespace flowsentry::host
