// Registration of a driver's two edges, and its per-binding configuration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/runtime/ndis.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/testing/probe_driver.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::ndis {
namespace {

using testing::ProbeDriver;

TEST(RegistrationTest, RefusesCharacteristicsItCannotServe) {
  struct Case {
    const char* what;
    void (*change)(ProbeDriver&);
    NDIS_STATUS miniport;
    NDIS_STATUS protocol;
  };
  const Case cases[] = {
      {"as given", [](ProbeDriver&) {}, NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS},
      {"NDIS 3",
       [](ProbeDriver& p) { p.miniport.MajorNdisVersion = p.protocol.MajorNdisVersion = 3; },
       NDIS_STATUS_BAD_VERSION, NDIS_STATUS_BAD_VERSION},
      {"cut short",
       [](ProbeDriver& p) {
         p.miniport_length -= 1;
         p.protocol_length -= 1;
       },
       NDIS_STATUS_BAD_CHARACTERISTICS, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"a required handler missing",
       [](ProbeDriver& p) {
         p.miniport.HaltHandler = nullptr;
         p.protocol.StatusCompleteHandler = nullptr;
       },
       NDIS_STATUS_BAD_CHARACTERISTICS, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no send handler of either kind",
       [](ProbeDriver& p) { p.miniport.SendPacketsHandler = nullptr; },
       NDIS_STATUS_BAD_CHARACTERISTICS, NDIS_STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProbeDriver probe;
    Runtime runtime;
    c.change(probe);
    ASSERT_EQ(probe.Load(runtime), ddk::STATUS_SUCCESS);
    EXPECT_EQ(probe.miniport_status, c.miniport);
    EXPECT_EQ(probe.miniport_handle != nullptr, c.miniport == NDIS_STATUS_SUCCESS);
    EXPECT_EQ(probe.protocol_status, c.protocol);
    EXPECT_EQ(probe.protocol_handle != nullptr, c.protocol == NDIS_STATUS_SUCCESS);
  }
}

TEST(RegistrationTest, ReadsConfigurationAsTheDriverAsksForIt) {
  platform::testing::TempRoot root;
  ASSERT_TRUE(root.WriteFile("/etc/flowsentry/registry.reg",
                             "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\probe]\n"
                             "\"Dword\"=dword:0000002a\n\"Decimal\"=\"42\"\n\"Hex\"=\"1f\"\n"
                             "\"Name\"=\"\\\\Device\\\\x\"\n"));
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE config = nullptr;
  OwnedNdisString section(u"SYSTEM\\probe");
  NdisOpenProtocolConfiguration(&status, &config, section.ptr());
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);

  struct Case {
    const char16_t* keyword;
    NDIS_PARAMETER_TYPE type;
    NDIS_STATUS status;
    uint32_t integer;
    std::u16string text;
  };
  const Case cases[] = {
      {u"Dword", NdisParameterInteger, NDIS_STATUS_SUCCESS, 42, u"42"},
      {u"Decimal", NdisParameterInteger, NDIS_STATUS_SUCCESS, 42, u"42"},
      {u"Hex", NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 31, u"1f"},
      {u"Name", NdisParameterString, NDIS_STATUS_SUCCESS, 0, u"\\Device\\x"},
      {u"Absent", NdisParameterString, NDIS_STATUS_FAILURE, 0, u""},
  };
  std::vector<NDIS_CONFIGURATION_PARAMETER*> read;
  for (const Case& c : cases) {
    SCOPED_TRACE(NarrowName(c.keyword));
    OwnedNdisString keyword(c.keyword);
    NDIS_CONFIGURATION_PARAMETER* parameter = nullptr;
    NdisReadConfiguration(&status, &parameter, config, keyword.ptr(), c.type);
    ASSERT_EQ(status, c.status);
    if (parameter == nullptr) continue;
    read.push_back(parameter);
    EXPECT_EQ(parameter->ParameterData.IntegerData, c.integer);
  }
  // Every parameter read stays valid until the configuration is closed.
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(View(read[i]->ParameterData.StringData), cases[i].text);
  }
  NdisCloseConfiguration(config);
}

}  // namespace
}  // namespace flowsentry::ndis
