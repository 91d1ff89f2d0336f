#include "platform/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/root.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

constexpr char kKey[] = "SOFTWARE\\Ardentiaware\\FlowSentry";
constexpr char kRegistry[] = "/etc/flowsentry/registry.reg";

class RegistryTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
};

TEST_F(RegistryTest, MissingFileKeyOrValueIsFileNotFound) {
  RegistryKey key;
  SetLastError(0);
  EXPECT_EQ(RegistryKey::Open(kKey, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());

  ASSERT_TRUE(root_.WriteFile(kRegistry, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" +
                                             std::string(kKey) + "]\r\n\"A\"=\"1\"\r\n"));
  EXPECT_EQ(RegistryKey::Open("SOFTWARE\\Nobody", key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegistryKey::Open(kKey, key), ERROR_SUCCESS);
  std::vector<uint8_t> buffer(16);
  uint32_t size = 0;
  SetLastError(0);
  EXPECT_EQ(key.QueryValue("B", buffer, size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryValueFollowsRegQueryValueEx) {
  ASSERT_TRUE(root_.WriteFile(kRegistry,
                              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"Text\"=\"abcd\"\n"
                              "\"Number\"=dword:01020304\n"));
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open("k", key), ERROR_SUCCESS);

  uint32_t size = 0;
  uint32_t type = 0;
  EXPECT_EQ(key.QueryValue("text", {}, size, &type), ERROR_SUCCESS);  // size only
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, REG_SZ);

  std::vector<uint8_t> small(4);
  EXPECT_EQ(key.QueryValue("TEXT", small, size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);

  std::vector<uint8_t> exact(5);
  EXPECT_EQ(key.QueryValue("Text", exact, size), ERROR_SUCCESS);
  EXPECT_EQ(exact, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 0}));

  std::vector<uint8_t> number(8, 0xEE);
  EXPECT_EQ(key.QueryValue("Number", number, size, &type), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(number, (std::vector<uint8_t>{4, 3, 2, 1, 0xEE, 0xEE, 0xEE, 0xEE}));

  RegistryKey moved = std::move(key);
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_FALSE(key.IsOpen());  // NOLINT(bugprone-use-after-move): a moved-from key is closed
  EXPECT_EQ(key.QueryValue("Text", exact, size), ERROR_INVALID_HANDLE);
  moved.Close();
  EXPECT_EQ(moved.QueryValue("Text", exact, size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, FileIsReadAfreshAtEveryOpen) {
  ASSERT_TRUE(root_.WriteFile(kRegistry, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"old\"\n"));
  RegistryKey before;
  ASSERT_EQ(RegistryKey::Open("K", before), ERROR_SUCCESS);
  ASSERT_TRUE(root_.WriteFile(kRegistry, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"new\"\n"));
  std::string value;
  EXPECT_EQ(RegistryGetString("K", "V", value), ERROR_SUCCESS);
  EXPECT_EQ(value, "new");
  // An open key is a snapshot.
  std::vector<uint8_t> buffer(8);
  uint32_t size = 0;
  ASSERT_EQ(before.QueryValue("V", buffer, size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "old");
}

TEST_F(RegistryTest, FileThatIsNotRegedit4IsBadAndNotOverwritten) {
  const std::string notes = "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"x\"\n";  // no header
  ASSERT_TRUE(root_.WriteFile(kRegistry, notes));
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open("K", key), ERROR_BADDB);
  EXPECT_EQ(GetLastError(), ERROR_BADDB);
  EXPECT_EQ(RegistrySetString("K", "V", "y"), ERROR_BADDB);
  EXPECT_EQ(root_.ReadFile(kRegistry), notes);
}

TEST_F(RegistryTest, SetStringCreatesTheFileAndReadsBack) {
  ASSERT_FALSE(root_.Exists("/etc"));
  ASSERT_EQ(RegistrySetString("SYSTEM\\Bindings\\eth0", "UpperBindings", "fs_eth0"), ERROR_SUCCESS);
  ASSERT_EQ(RegistrySetString("SYSTEM\\Bindings\\eth1", "UpperBindings", "fs_eth1"), ERROR_SUCCESS);
  ASSERT_EQ(RegistrySetString("system\\bindings\\ETH0", "upperbindings", "fs_eth0b"),
            ERROR_SUCCESS);
  EXPECT_EQ(root_.ReadFile(kRegistry),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Bindings\\eth0]\r\n"
            "\"upperbindings\"=\"fs_eth0b\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Bindings\\eth1]\r\n"
            "\"UpperBindings\"=\"fs_eth1\"\r\n");
  std::string value = "stale";
  EXPECT_EQ(RegistryGetString("SYSTEM\\Bindings\\eth0", "UpperBindings", value), ERROR_SUCCESS);
  EXPECT_EQ(value, "fs_eth0b");
  EXPECT_EQ(RegistryGetString("SYSTEM\\Bindings\\eth2", "UpperBindings", value),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, "");

  // Nothing but the file and its lock file is left in the folder: no temporary files.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(LocationPath(Location::kRegistry)).parent_path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(RegistryTest, GetStringTakesTheValueUpToItsFirstZero) {
  ASSERT_TRUE(root_.WriteFile(kRegistry,
                              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"Bin\"=hex:41,42,00,43\n"
                              "\"Long\"=\"" +
                                  std::string(20000, 'x') + "\"\n"));
  std::string value;
  EXPECT_EQ(RegistryGetString("K", "Bin", value), ERROR_SUCCESS);
  EXPECT_EQ(value, "AB");
  EXPECT_EQ(RegistryGetString("K", "Long", value), ERROR_SUCCESS);  // no fixed buffer here
  EXPECT_EQ(value.size(), 20000u);
}

}  // namespace
}  // namespace flowsentry::platform
