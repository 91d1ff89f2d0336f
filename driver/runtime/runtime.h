// The network-driver runtime seen from the host side: it loads a driver, offers it lower
// adapters from an adapter source, binds protocols above the driver's virtual adapters, and
// connects the control-device registration to a device host.
//
// One Runtime plays one machine's NDIS. Every NDIS handle a driver gets leads back to it, so
// tests may create one per case; a driver's own global state is the driver's business.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_RUNTIME_H_
#define FLOWSENTRY_DRIVER_RUNTIME_RUNTIME_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/runtime/ndis.h"

namespace flowsentry::ndis {

// Whoever gets an indicated packet back once every holder has returned it.
class ReturnRoute {
 public:
  virtual ~ReturnRoute() = default;
  virtual void PacketReturned(NDIS_PACKET* packet) = 0;
};

// The MacReceiveContext of a header/look-ahead indication from a lower adapter.
struct ReceiveIndication {
  NDIS_PACKET* packet = nullptr;    // the packet behind the indication, if any
  void* adapter_context = nullptr;  // the adapter's own, for transfer-data
};

class AdapterEdge;

// A lower adapter of an adapter source. The runtime calls it from any thread.
class LowerAdapter : public ReturnRoute {
 public:
  // The adapter's name ("sim0"); its device name is "\Device\" + name.
  virtual const std::string& Name() const = 0;
  virtual NDIS_MEDIUM Medium() const = 0;

  // An open by a protocol: NDIS_STATUS_SUCCESS, a failure, or NDIS_STATUS_PENDING and later
  // edge->CompleteOpen. The adapter may keep the edge to indicate on it.
  virtual NDIS_STATUS Open(const std::shared_ptr<AdapterEdge>& edge) = 0;
  // Indications on the edge have ended when this is called. Pending: edge.CompleteClose later.
  virtual NDIS_STATUS Close(AdapterEdge& edge) = 0;
  // Pending: edge.CompleteRequest later; the request stays valid until then.
  virtual NDIS_STATUS Request(AdapterEdge& edge, NDIS_REQUEST* request) = 0;
  // Pending: edge.CompleteSend later; the packet is the sender's until then.
  virtual NDIS_STATUS Send(AdapterEdge& edge, NDIS_PACKET* packet) = 0;
  // Copies frame bytes from `byte_offset` (counted behind the header) into `packet`.
  virtual NDIS_STATUS TransferData(AdapterEdge& edge, ReceiveIndication* indication,
                                   uint32_t byte_offset, uint32_t bytes_to_transfer,
                                   NDIS_PACKET* packet, uint32_t* bytes_transferred) = 0;
};

// One open of a lower adapter, as the adapter sees it (implemented by the runtime).
// Completions may come from any thread; indications are dropped (false) unless the open is
// established and not closing.
class AdapterEdge {
 public:
  virtual ~AdapterEdge() = default;

  virtual void CompleteOpen(NDIS_STATUS status) = 0;
  virtual void CompleteClose(NDIS_STATUS status) = 0;
  virtual void CompleteRequest(NDIS_REQUEST* request, NDIS_STATUS status) = 0;
  virtual void CompleteSend(NDIS_PACKET* packet, NDIS_STATUS status) = 0;
  virtual void CompleteTransferData(NDIS_PACKET* packet, NDIS_STATUS status,
                                    uint32_t bytes_transferred) = 0;

  virtual bool IndicateReceive(ReceiveIndication* indication, const void* header_buffer,
                               uint32_t header_buffer_size, const void* lookahead_buffer,
                               uint32_t lookahead_buffer_size, uint32_t packet_size) = 0;
  virtual bool IndicateReceiveComplete() = 0;
  // True when the protocol kept the packet: it comes back through the adapter's
  // PacketReturned. False when the adapter has it back already (always so for a packet whose
  // status is NDIS_STATUS_RESOURCES, or an indication that was dropped). `delivered` (optional)
  // tells whether the indication reached the protocol.
  virtual bool IndicateReceivePacket(NDIS_PACKET* packet, bool* delivered) = 0;
  virtual bool IndicateStatus(NDIS_STATUS status, const void* buffer, uint32_t size) = 0;
  virtual bool IndicateStatusComplete() = 0;
  // A PnP event (set-power) to the protocol of this open; NDIS_STATUS_FAILURE when dropped.
  virtual NDIS_STATUS IndicatePnPEvent(NET_PNP_EVENT* event) = 0;
};

// A request from a protocol above a virtual adapter: the buffer and, once complete, the result.
struct UpperRequest {
  NDIS_REQUEST_TYPE type = NdisRequestQueryInformation;
  NDIS_OID oid = 0;
  std::vector<uint8_t> buffer;  // its size is the information buffer length
  NDIS_STATUS status = NDIS_STATUS_PENDING;
  uint32_t bytes_done = 0;  // bytes written (query) or read (set)
  uint32_t bytes_needed = 0;
};

// One header/look-ahead indication as a protocol above a virtual adapter receives it.
struct UpperReceive {
  NDIS_HANDLE receive_context = nullptr;
  const uint8_t* header = nullptr;
  uint32_t header_size = 0;
  const uint8_t* lookahead = nullptr;
  uint32_t lookahead_size = 0;
  uint32_t packet_size = 0;
  NDIS_MEDIUM indicated_as = NdisMedium802_3;  // Ethernet, token ring or FDDI indication
  const uint8_t* address = nullptr;            // FDDI only
  uint32_t address_length = 0;
};

// A virtual adapter as the protocol bound above it sees it (implemented by the runtime).
class VirtualAdapterBinding {
 public:
  virtual ~VirtualAdapterBinding() = default;
  virtual const std::u16string& Name() const = 0;
  virtual NDIS_MEDIUM Medium() const = 0;  // the medium the virtual adapter reported
  virtual uint32_t AttributeFlags() const = 0;
  // Each packet is completed through UpperProtocol::SendComplete (at once, with
  // NDIS_STATUS_CLOSING, when the adapter is going away).
  virtual void SendPackets(NDIS_PACKET** packets, uint32_t count) = 0;
  // Requests reach the miniport one at a time, in order; each completes through
  // UpperProtocol::RequestComplete.
  virtual void Request(const std::shared_ptr<UpperRequest>& request) = 0;
  virtual NDIS_STATUS TransferData(NDIS_HANDLE receive_context, uint32_t byte_offset,
                                   uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                                   uint32_t* bytes_transferred) = 0;
  // Gives back a packet that ReceivePacket kept.
  virtual void ReturnPacket(NDIS_PACKET* packet) = 0;
};

// A protocol bound above the virtual adapters (the simulated protocol; the host's stack).
// Called from any thread. UnbindAdapter must give back every packet it still holds.
class UpperProtocol {
 public:
  virtual ~UpperProtocol() = default;
  virtual void BindAdapter(const std::shared_ptr<VirtualAdapterBinding>& binding) = 0;
  virtual void UnbindAdapter(VirtualAdapterBinding& binding) = 0;
  virtual void SendComplete(VirtualAdapterBinding& binding, NDIS_PACKET* packet,
                            NDIS_STATUS status) = 0;
  virtual void RequestComplete(VirtualAdapterBinding& binding,
                               const std::shared_ptr<UpperRequest>& request) = 0;
  virtual NDIS_STATUS Receive(VirtualAdapterBinding& binding, const UpperReceive& receive) = 0;
  virtual void ReceiveComplete(VirtualAdapterBinding& binding) = 0;
  // Returns how many references it keeps (0 or 1).
  virtual int32_t ReceivePacket(VirtualAdapterBinding& binding, NDIS_PACKET* packet) = 0;
  virtual void TransferDataComplete(VirtualAdapterBinding& binding, NDIS_PACKET* packet,
                                    NDIS_STATUS status, uint32_t bytes_transferred) = 0;
  virtual void Status(VirtualAdapterBinding& binding, NDIS_STATUS status, const void* buffer,
                      uint32_t size) = 0;
  virtual void StatusComplete(VirtualAdapterBinding& binding) = 0;
};

using DRIVER_INITIALIZE = ddk::NTSTATUS (*)(ddk::DRIVER_OBJECT* driver_object,
                                            const NDIS_STRING* registry_path);

class Runtime {
 public:
  Runtime();
  ~Runtime();  // unloads a driver still loaded
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Runs the driver's entry; on success binds every registered protocol to every adapter.
  ddk::NTSTATUS LoadDriver(std::string_view service_name, DRIVER_INITIALIZE entry);
  // Unbinds every protocol from every adapter, then runs the driver's unload handler.
  void UnloadDriver();

  // Adds a lower adapter: runs the installation step for each protocol (see
  // InstallProtocolBinding), then binds them to it. False if the name is taken.
  bool AddAdapter(std::shared_ptr<LowerAdapter> adapter);
  // Unbinds every protocol from the adapter and forgets it. False if unknown.
  bool RemoveAdapter(std::string_view name);

  // Protocols above the virtual adapters: bound to each running virtual adapter, now and later.
  void AttachUpperProtocol(UpperProtocol* protocol);
  // Unbinds it from every virtual adapter first.
  void DetachUpperProtocol(UpperProtocol* protocol);

  // Where NdisMRegisterDevice sends the control device (not owned; null: registration fails).
  void SetDeviceHost(ddk::DeviceHost* host);

  // When set, NdisIMInitializeDeviceInstanceEx only records the instance; the miniport's
  // initialize handler runs at StartPendingDeviceInstances (as PnP would start the device).
  void SetDeferDeviceInitialization(bool defer);
  // Runs the initialize handler of every recorded instance; returns how many it started.
  size_t StartPendingDeviceInstances();
  size_t PendingDeviceInstances() const;

  // The medium array handed to a miniport's initialize handler (default: every medium).
  void SetOfferedMiniportMedia(std::vector<NDIS_MEDIUM> media);

  // A reconfigure PnP event with no binding context to every protocol.
  NDIS_STATUS Reconfigure();

  // Names of the virtual adapters that are running now.
  std::vector<std::u16string> VirtualAdapters() const;
  // Opens of the lower adapter `name` that are established now.
  size_t OpenCount(std::string_view name) const;

  // The installation step of a network installer: the registry key that holds the
  // configuration of the protocol's binding to an adapter, and its "UpperBindings" value,
  // written the first time the adapter is met (an existing value is kept).
  static std::string ProtocolConfigurationKey(std::string_view protocol, std::string_view adapter);
  static std::string DefaultUpperBindings(std::string_view protocol, std::string_view adapter);
  static bool InstallProtocolBinding(std::string_view protocol, std::string_view adapter);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_RUNTIME_H_
