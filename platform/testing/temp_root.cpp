#include "platform/testing/temp_root.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace flowsentry::platform::testing {

TempRoot::TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/flowsentry-root-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = pattern;
  if (const char* old = std::getenv("FLOWSENTRY_ROOT"); old != nullptr) {
    had_root_ = true;
    saved_root_ = old;
  }
  setenv("FLOWSENTRY_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (had_root_) {
    setenv("FLOWSENTRY_ROOT", saved_root_.c_str(), 1);
  } else {
    unsetenv("FLOWSENTRY_ROOT");
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempRoot::Host(std::string_view machine_path) const {
  return path_ + std::string(machine_path);
}

bool TempRoot::WriteFile(std::string_view machine_path, std::string_view contents) const {
  const std::filesystem::path file = Host(machine_path);
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out);
}

std::string TempRoot::ReadFile(std::string_view machine_path) const {
  std::ifstream in(Host(machine_path), std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool TempRoot::Exists(std::string_view machine_path) const {
  std::error_code error;
  return std::filesystem::exists(Host(machine_path), error);
}

}  // namespace flowsentry::platform::testing
