// For the runtime's own tests: a driver made of test hooks, a lower adapter and an upper protocol
// that record what the runtime does with them. Header-only; one ProbeDriver per runtime, made
// before it and destroyed after it.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_TESTING_PROBE_DRIVER_H_
#define FLOWSENTRY_DRIVER_RUNTIME_TESTING_PROBE_DRIVER_H_

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/runtime/ndis.h"
#include "driver/runtime/runtime.h"

namespace flowsentry::ndis::testing {

// Its entry registers a miniport edge and a protocol edge from the characteristics below (which
// a test may change before Load) and keeps the handles and statuses. Its handlers record; the
// miniport's requests pend while `pend_requests` is set. Binds do nothing: tests open adapters
// with Open, the probe being the protocol binding context and the virtual adapter's context.
struct ProbeDriver {
  ProbeDriver() {
    miniport.MajorNdisVersion = 5;
    miniport.InitializeHandler = [](NDIS_STATUS*, uint32_t* selected, NDIS_MEDIUM*, uint32_t,
                                    NDIS_HANDLE handle, NDIS_HANDLE) {
      auto* probe = static_cast<ProbeDriver*>(NdisIMGetDeviceContext(handle));
      probe->adapter_handle = handle;
      *selected = probe->select_medium;
      NdisMSetAttributesEx(handle, probe, 0, 0, NdisInterfaceInternal);
      return probe->initialize_status;
    };
    miniport.HaltHandler = [](NDIS_HANDLE context) { Of(context)->halts += 1; };
    miniport.QueryInformationHandler = OnRequest;
    miniport.SetInformationHandler = OnRequest;
    miniport.SendPacketsHandler = [](NDIS_HANDLE context, NDIS_PACKET** packets, uint32_t n) {
      for (uint32_t i = 0; i < n; ++i) {
        NdisMSendComplete(Of(context)->adapter_handle, packets[i], NDIS_STATUS_SUCCESS);
      }
    };
    protocol.MajorNdisVersion = 5;
    protocol.Name = protocol_name.get();
    protocol.OpenAdapterCompleteHandler = [](NDIS_HANDLE context, NDIS_STATUS status, NDIS_STATUS) {
      Of(context)->open_completions.push_back(status);
    };
    protocol.CloseAdapterCompleteHandler = [](NDIS_HANDLE, NDIS_STATUS) {};
    protocol.SendCompleteHandler = [](NDIS_HANDLE, NDIS_PACKET*, NDIS_STATUS) {};
    protocol.RequestCompleteHandler = [](NDIS_HANDLE, NDIS_REQUEST*, NDIS_STATUS) {};
    protocol.ReceiveHandler = [](NDIS_HANDLE context, NDIS_HANDLE, void*, uint32_t, void*, uint32_t,
                                 uint32_t) {
      Of(context)->receives += 1;
      return NDIS_STATUS_SUCCESS;
    };
    protocol.ReceiveCompleteHandler = [](NDIS_HANDLE) {};
    protocol.StatusHandler = [](NDIS_HANDLE, NDIS_STATUS, void*, uint32_t) {};
    protocol.StatusCompleteHandler = [](NDIS_HANDLE) {};
    protocol.ReceivePacketHandler = [](NDIS_HANDLE context, NDIS_PACKET* packet) {
      ProbeDriver* probe = Of(context);
      if (probe->keep_packets) probe->kept.push_back(packet);
      return probe->keep_packets ? 1 : 0;
    };
    protocol.BindAdapterHandler = [](NDIS_STATUS* status, NDIS_HANDLE, NDIS_STRING*, void*, void*) {
      *status = NDIS_STATUS_SUCCESS;
    };
    protocol.UnbindAdapterHandler = [](NDIS_STATUS* status, NDIS_HANDLE context, NDIS_HANDLE) {
      NdisCloseAdapter(status, Of(context)->binding);
    };
  }

  ddk::NTSTATUS Load(Runtime& runtime) {
    Loading() = this;
    ddk::NTSTATUS status = runtime.LoadDriver("probe", Entry);
    Loading() = nullptr;
    return status;
  }

  // Opens `adapter` ("\Device\" + its name) with the probe as the binding context.
  NDIS_STATUS Open(std::string_view adapter, std::vector<NDIS_MEDIUM> media) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    uint32_t selected = 0;
    OwnedNdisString name(WidenName("\\Device\\" + std::string(adapter)));
    NdisOpenAdapter(&status, &open_error, &binding, &selected, media.data(),
                    static_cast<uint32_t>(media.size()), protocol_handle, this, name.ptr(), 0,
                    nullptr);
    return status;
  }

  static NDIS_STATUS OnRequest(NDIS_HANDLE context, NDIS_OID oid, void*, uint32_t, uint32_t*,
                               uint32_t*) {
    Of(context)->oids.push_back(oid);
    return Of(context)->pend_requests ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS;
  }
  static ddk::NTSTATUS Entry(ddk::DRIVER_OBJECT* driver_object, const NDIS_STRING* path) {
    ProbeDriver* probe = Loading();
    NdisMInitializeWrapper(&probe->wrapper, driver_object, path, nullptr);
    probe->miniport_status = NdisIMRegisterLayeredMiniport(
        probe->wrapper, &probe->miniport, probe->miniport_length, &probe->miniport_handle);
    NdisRegisterProtocol(&probe->protocol_status, &probe->protocol_handle, &probe->protocol,
                         probe->protocol_length);
    return ddk::STATUS_SUCCESS;
  }
  static ProbeDriver* Of(NDIS_HANDLE context) { return static_cast<ProbeDriver*>(context); }
  // The probe whose entry runs on this thread (an entry has no context of its own).
  static ProbeDriver*& Loading() {
    static thread_local ProbeDriver* loading = nullptr;
    return loading;
  }

  OwnedNdisString protocol_name{u"probe"};
  NDIS_MINIPORT_CHARACTERISTICS miniport;
  NDIS_PROTOCOL_CHARACTERISTICS protocol;
  uint32_t miniport_length = sizeof(NDIS_MINIPORT_CHARACTERISTICS);
  uint32_t protocol_length = sizeof(NDIS_PROTOCOL_CHARACTERISTICS);

  NDIS_HANDLE wrapper = nullptr;
  NDIS_HANDLE miniport_handle = nullptr;
  NDIS_HANDLE protocol_handle = nullptr;
  NDIS_STATUS miniport_status = NDIS_STATUS_FAILURE;
  NDIS_STATUS protocol_status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE binding = nullptr;         // of the last Open
  NDIS_HANDLE adapter_handle = nullptr;  // of the last initialized virtual adapter

  uint32_t select_medium = 0;
  NDIS_STATUS initialize_status = NDIS_STATUS_SUCCESS;
  bool pend_requests = false;
  bool keep_packets = false;

  std::vector<NDIS_STATUS> open_completions;
  std::vector<NDIS_OID> oids;
  std::vector<NDIS_PACKET*> kept;
  int receives = 0;
  int halts = 0;
};

// A lower adapter that answers opens with `open_status` and keeps the last edge it was given,
// closed or not, so that a test can still indicate on it.
class ProbeAdapter : public LowerAdapter {
 public:
  explicit ProbeAdapter(std::string name, NDIS_MEDIUM medium = NdisMedium802_3)
      : name_(std::move(name)), medium_(medium) {}

  const std::string& Name() const override { return name_; }
  NDIS_MEDIUM Medium() const override { return medium_; }
  NDIS_STATUS Open(const std::shared_ptr<AdapterEdge>& edge) override {
    edge_ = edge;
    return open_status;
  }
  NDIS_STATUS Close(AdapterEdge&) override { return NDIS_STATUS_SUCCESS; }
  NDIS_STATUS Request(AdapterEdge&, NDIS_REQUEST*) override { return NDIS_STATUS_SUCCESS; }
  NDIS_STATUS Send(AdapterEdge&, NDIS_PACKET*) override { return NDIS_STATUS_SUCCESS; }
  NDIS_STATUS TransferData(AdapterEdge&, ReceiveIndication*, uint32_t, uint32_t, NDIS_PACKET*,
                           uint32_t*) override {
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  void PacketReturned(NDIS_PACKET* packet) override { returned.push_back(packet); }

  AdapterEdge* edge() const { return edge_.get(); }
  void ForgetEdge() { edge_.reset(); }

  NDIS_STATUS open_status = NDIS_STATUS_SUCCESS;
  std::vector<NDIS_PACKET*> returned;

 private:
  std::string name_;
  NDIS_MEDIUM medium_;
  std::shared_ptr<AdapterEdge> edge_;
};

// An upper protocol that records its bindings and the completions it is given.
class ProbeProtocol : public UpperProtocol {
 public:
  void BindAdapter(const std::shared_ptr<VirtualAdapterBinding>& binding) override {
    bindings.push_back(binding);
  }
  void UnbindAdapter(VirtualAdapterBinding&) override { unbinds += 1; }
  void SendComplete(VirtualAdapterBinding&, NDIS_PACKET*, NDIS_STATUS status) override {
    send_completions.push_back(status);
  }
  void RequestComplete(VirtualAdapterBinding&,
                       const std::shared_ptr<UpperRequest>& request) override {
    request_completions.push_back({request->oid, request->status});
  }
  NDIS_STATUS Receive(VirtualAdapterBinding&, const UpperReceive&) override {
    return NDIS_STATUS_SUCCESS;
  }
  void ReceiveComplete(VirtualAdapterBinding&) override {}
  int32_t ReceivePacket(VirtualAdapterBinding&, NDIS_PACKET*) override { return 0; }
  void TransferDataComplete(VirtualAdapterBinding&, NDIS_PACKET*, NDIS_STATUS, uint32_t) override {}
  void Status(VirtualAdapterBinding&, NDIS_STATUS, const void*, uint32_t) override {}
  void StatusComplete(VirtualAdapterBinding&) override {}

  using Completion = std::pair<NDIS_OID, NDIS_STATUS>;
  std::vector<std::shared_ptr<VirtualAdapterBinding>> bindings;
  std::vector<NDIS_STATUS> send_completions;
  std::vector<Completion> request_completions;
  int unbinds = 0;
};

}  // namespace flowsentry::ndis::testing

#endif  // FLOWSENTRY_DRIVER_RUNTIME_TESTING_PROBE_DRIVER_H_
