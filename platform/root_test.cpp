#include "platform/root.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/last_error.h"

namespace flowsentry::platform {
namespace {

// Sets FLOWSENTRY_ROOT (or unsets it, for nullptr) for the test's lifetime.
class RootVariable {
 public:
  explicit RootVariable(const char* value) {
    if (const char* old = getenv("FLOWSENTRY_ROOT"); old != nullptr) saved_ = old;
    if (value == nullptr) {
      unsetenv("FLOWSENTRY_ROOT");
    } else {
      setenv("FLOWSENTRY_ROOT", value, 1);
    }
  }
  ~RootVariable() {
    if (saved_.empty()) {
      unsetenv("FLOWSENTRY_ROOT");
    } else {
      setenv("FLOWSENTRY_ROOT", saved_.c_str(), 1);
    }
  }

 private:
  std::string saved_;
};

TEST(RootTest, MachineRootFromTheEnvironment) {
  struct Case {
    const char* variable;
    const char* root;
  };
  for (const Case& c : {Case{nullptr, "/"}, Case{"", "/"}, Case{"/", "/"}, Case{"///", "/"},
                        Case{"/tmp/m", "/tmp/m"}, Case{"/tmp/m//", "/tmp/m"}}) {
    const RootVariable variable(c.variable);
    EXPECT_EQ(MachineRoot(), c.root) << (c.variable ? c.variable : "(unset)");
  }
}

TEST(RootTest, MachinePathsMapUnderTheRoot) {
  {
    const RootVariable variable("/tmp/m/");
    EXPECT_EQ(HostPath("/opt/flowsentry/flowmeter.log"), "/tmp/m/opt/flowsentry/flowmeter.log");
    EXPECT_EQ(HostPath("/flowmeter.log"), "/tmp/m/flowmeter.log");
    EXPECT_EQ(HostPath("/"), "/tmp/m/");
    EXPECT_EQ(HostPath("relative/file"), "relative/file");
    EXPECT_EQ(HostPath(""), "");
    EXPECT_EQ(LocationPath(Location::kRegistry), "/tmp/m/etc/flowsentry/registry.reg");
    EXPECT_EQ(LocationPath(Location::kScmSocket), "/tmp/m/run/flowsentry/scm.sock");
    EXPECT_EQ(LocationPath(Location::kScmDatabase), "/tmp/m/var/lib/flowsentry/scm");
    EXPECT_EQ(LocationPath(Location::kDevices), "/tmp/m/run/flowsentry/devices");
    EXPECT_EQ(LocationPath(Location::kDriveRoot), "/tmp/m");
  }
  // On a real host every place of ours sits in a folder of its own, never under a generic name.
  const RootVariable variable(nullptr);
  EXPECT_EQ(HostPath("/flowmeter.log"), "/flowmeter.log");
  EXPECT_EQ(LocationPath(Location::kRegistry), "/etc/flowsentry/registry.reg");
  EXPECT_EQ(LocationPath(Location::kScmSocket), "/run/flowsentry/scm.sock");
  EXPECT_EQ(LocationPath(Location::kScmDatabase), "/var/lib/flowsentry/scm");
  EXPECT_EQ(LocationPath(Location::kDevices), "/run/flowsentry/devices");
  EXPECT_EQ(LocationPath(Location::kDriveRoot), "/");
}

TEST(LastErrorTest, KeepsWhatWasSet) {
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  SetLastError(0xC0000001u);
  EXPECT_EQ(GetLastError(), 0xC0000001u);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

}  // namespace
}  // namespace flowsentry::platform
