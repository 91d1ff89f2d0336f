// Files and folders with the Windows semantics the programs were written for: CreateFile's
// access, share modes and creation dispositions, appending at the end, MoveFile that refuses to
// replace, DeleteFile, FindFirstFile for one name, CreateDirectory.
//
// Paths are machine paths (see platform/root.h). Every call that fails sets the thread's last
// error to the Windows code.
//
// Share modes hold between all opens made through this interface, in this process and in other
// processes of the system (they are kept as advisory locks on the file): an open whose access
// another open does not share, or whose share mode denies the access of another open, fails with
// ERROR_SHARING_VIOLATION. Programs that do not use this interface are not held back.
#ifndef FLOWSENTRY_PLATFORM_FILES_H_
#define FLOWSENTRY_PLATFORM_FILES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace flowsentry::platform {

// Access rights, with their Windows values.
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;

// Share modes: what the open lets other opens do meanwhile. 0 denies everything.
inline constexpr uint32_t FILE_SHARE_READ = 0x1;
inline constexpr uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr uint32_t FILE_SHARE_DELETE = 0x4;

// Creation dispositions, with their Windows values.
enum class Disposition : uint32_t {
  kCreateNew = 1,         // fails with ERROR_FILE_EXISTS when the file exists
  kCreateAlways = 2,      // creates or truncates
  kOpenExisting = 3,      // fails with ERROR_FILE_NOT_FOUND when the file is missing
  kOpenAlways = 4,        // opens or creates, never truncates
  kTruncateExisting = 5,  // truncates an existing file; needs GENERIC_WRITE
};

enum class SeekOrigin { kBegin, kCurrent, kEnd };

// An open file. Closed when destroyed; movable, not copyable. Not for use by two threads at once.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  // CreateFile: a closed File on failure. ERROR_SHARING_VIOLATION when another open conflicts
  // (nothing is created or truncated then), ERROR_PATH_NOT_FOUND when the folder is missing,
  // ERROR_ACCESS_DENIED for a folder or a file the process may not open so. On success with
  // kOpenAlways or kCreateAlways the last error is ERROR_ALREADY_EXISTS when the file existed
  // and 0 when it was created; any other success sets it to 0.
  static File Open(std::string_view machine_path, uint32_t access, uint32_t share,
                   Disposition disposition);

  bool IsOpen() const { return fd_ >= 0; }

  // SetFilePointerEx: moves the file position; `position` receives the new one.
  bool Seek(int64_t distance, SeekOrigin origin, int64_t* position = nullptr);

  // WriteFile at the file position: writes all of `bytes` unless an error stops it, and sets
  // `written` (when given) to what was written. Needs GENERIC_WRITE.
  bool Write(std::string_view bytes, uint32_t* written = nullptr);

  // ReadFile at the file position: up to `buffer.size()` bytes, 0 at the end. Needs
  // GENERIC_READ.
  bool Read(std::span<uint8_t> buffer, uint32_t& read);

  // GetFileSizeEx.
  std::optional<uint64_t> Size() const;

  void Close();

 private:
  int fd_ = -1;
  uint32_t access_ = 0;
};

// What FindFirstFile tells of one file.
struct FileInfo {
  std::string name;  // the last component
  uint64_t size = 0;
  bool is_directory = false;
};

// FindFirstFile for a name without wildcards: the file's entry, or nullopt with
// ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND when its folder is missing too).
std::optional<FileInfo> FindFile(std::string_view machine_path);

// MoveFile: renames a file or folder. ERROR_ALREADY_EXISTS when the target exists (it is never
// replaced), ERROR_FILE_NOT_FOUND when the source is missing, ERROR_SHARING_VIOLATION when the
// source is open without FILE_SHARE_DELETE.
bool MoveFile(std::string_view from, std::string_view to);

// DeleteFile: ERROR_FILE_NOT_FOUND when missing, ERROR_ACCESS_DENIED for a folder,
// ERROR_SHARING_VIOLATION when the file is open without FILE_SHARE_DELETE.
bool DeleteFile(std::string_view machine_path);

// CreateDirectory: one folder, its parent must exist. ERROR_ALREADY_EXISTS when the name exists,
// ERROR_PATH_NOT_FOUND when the parent is missing.
bool CreateDirectory(std::string_view machine_path);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_FILES_H_
