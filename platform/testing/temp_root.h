// For tests: a fresh temporary folder that serves as the machine root (FLOWSENTRY_ROOT) while
// the object lives, removed with everything in it afterwards.
#ifndef FLOWSENTRY_PLATFORM_TESTING_TEMP_ROOT_H_
#define FLOWSENTRY_PLATFORM_TESTING_TEMP_ROOT_H_

#include <string>
#include <string_view>

namespace flowsentry::platform::testing {

class TempRoot {
 public:
  // Creates the folder under TMPDIR (or /tmp) and points FLOWSENTRY_ROOT at it; the previous
  // value comes back when the object is destroyed. Aborts the test program when the folder
  // cannot be made, since no test could run without it.
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  // The host path of the root folder.
  const std::string& path() const { return path_; }

  // Host path of a machine path ("/etc/flowsentry/registry.reg" ->
  // "<root>/etc/flowsentry/registry.reg").
  std::string Host(std::string_view machine_path) const;

  // Writes `contents` to a machine path, making the folders on the way; returns false on
  // failure.
  bool WriteFile(std::string_view machine_path, std::string_view contents) const;

  // The whole contents of a machine path, or empty when it cannot be read.
  std::string ReadFile(std::string_view machine_path) const;

  bool Exists(std::string_view machine_path) const;

 private:
  std::string path_;
  std::string saved_root_;
  bool had_root_ = false;
};

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_TEMP_ROOT_H_
