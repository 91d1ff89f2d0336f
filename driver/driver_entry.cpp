// Driver entry and unload: the two edges' registration.
#include "driver/control_device.h"
#include "driver/driver_state.h"
#include "driver/handlers.h"
#include "driver/pactrak.h"

namespace flowsentry::pactrak {

using ndis::NDIS_MINIPORT_CHARACTERISTICS;
using ndis::NDIS_PROTOCOL_CHARACTERISTICS;
using ndis::NDIS_STATUS;
using ndis::NDIS_STATUS_SUCCESS;
using ndis::NDIS_STRING;
using ndis::NdisDeregisterProtocol;
using ndis::NdisIMAssociateMiniport;
using ndis::NdisIMDeregisterLayeredMiniport;
using ndis::NdisMRegisterUnloadHandler;
using ndis::NdisTerminateWrapper;

DriverState& Driver() {
  static DriverState state;
  return state;
}

ddk::NTSTATUS DriverEntry(ddk::DRIVER_OBJECT* driver_object, const NDIS_STRING* registry_path) {
  DriverState& driver = Driver();
  driver.wrapper_handle = nullptr;
  driver.driver_handle = nullptr;
  driver.protocol_handle = nullptr;
  driver.BindingList = nullptr;
  driver.adapter_count = 0;
  driver.control_device_state = kControlDeviceReady;
  driver.control_device_object = nullptr;
  driver.control_device_handle = nullptr;

  NdisAllocateSpinLock(&driver.GlobalLock);
  NdisAllocateSpinLock(&Queues().QueueLock);
  NdisMInitializeWrapper(&driver.wrapper_handle, driver_object, registry_path, nullptr);

  NDIS_MINIPORT_CHARACTERISTICS miniport;
  miniport.MajorNdisVersion = 4;
  miniport.MinorNdisVersion = 0;
  miniport.InitializeHandler = MiniportInitialize;
  miniport.HaltHandler = MiniportHalt;
  miniport.QueryInformationHandler = MiniportQueryInformation;
  miniport.SetInformationHandler = MiniportSetInformation;
  miniport.SendPacketsHandler = MiniportSendPackets;
  miniport.TransferDataHandler = MiniportTransferData;
  miniport.ReturnPacketHandler = MiniportReturnPacket;
  // No check-for-hang, reset, single-send or interrupt handlers.
  NDIS_STATUS status = NdisIMRegisterLayeredMiniport(driver.wrapper_handle, &miniport,
                                                     sizeof(miniport), &driver.driver_handle);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisTerminateWrapper(driver.wrapper_handle, nullptr);
    InitializeControlQueues();
    return status;
  }

  NdisMRegisterUnloadHandler(driver.wrapper_handle, DriverUnload);

  static char16_t name[] = u"pactrak";
  NDIS_PROTOCOL_CHARACTERISTICS protocol;
  protocol.MajorNdisVersion = 4;
  protocol.MinorNdisVersion = 0;
  protocol.Name.Buffer = name;
  protocol.Name.Length = sizeof(name) - sizeof(char16_t);
  protocol.Name.MaximumLength = sizeof(name);
  protocol.OpenAdapterCompleteHandler = ProtocolOpenAdapterComplete;
  protocol.CloseAdapterCompleteHandler = ProtocolCloseAdapterComplete;
  protocol.SendCompleteHandler = ProtocolSendComplete;
  protocol.TransferDataCompleteHandler = ProtocolTransferDataComplete;
  protocol.ResetCompleteHandler = ProtocolResetComplete;
  protocol.RequestCompleteHandler = ProtocolRequestComplete;
  protocol.ReceiveHandler = ProtocolReceive;
  protocol.ReceiveCompleteHandler = ProtocolReceiveComplete;
  protocol.StatusHandler = ProtocolStatus;
  protocol.StatusCompleteHandler = ProtocolStatusComplete;
  protocol.ReceivePacketHandler = ProtocolReceivePacket;
  protocol.BindAdapterHandler = ProtocolBindAdapter;
  protocol.UnbindAdapterHandler = ProtocolUnbindAdapter;
  protocol.PnPEventHandler = ProtocolPnPEvent;
  protocol.UnloadHandler = ProtocolUnload;
  NdisRegisterProtocol(&status, &driver.protocol_handle, &protocol, sizeof(protocol));
  if (status != NDIS_STATUS_SUCCESS) {
    driver.protocol_handle = nullptr;
    NdisIMDeregisterLayeredMiniport(driver.driver_handle);
    driver.driver_handle = nullptr;
  } else {
    NdisIMAssociateMiniport(driver.driver_handle, driver.protocol_handle);
  }
  if (status != NDIS_STATUS_SUCCESS) NdisTerminateWrapper(driver.wrapper_handle, nullptr);

  InitializeControlQueues();
  return status;
}

void ProtocolUnload() {
  DriverState& driver = Driver();
  if (driver.protocol_handle != nullptr) {
    NDIS_STATUS status;
    NdisDeregisterProtocol(&status, driver.protocol_handle);
    driver.protocol_handle = nullptr;
  }
}

void DriverUnload(ddk::DRIVER_OBJECT* /*driver_object*/) {
  DriverState& driver = Driver();
  ProtocolUnload();
  ReleaseQueuedRecords();
  if (driver.driver_handle != nullptr) {
    NdisIMDeregisterLayeredMiniport(driver.driver_handle);
    driver.driver_handle = nullptr;
  }
}

}  // namespace flowsentry::pactrak
