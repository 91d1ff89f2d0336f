#include "driver/runtime/testing/simulated_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace flowsentry::ndis {
namespace {
constexpr auto kWaitLimit = std::chrono::seconds(10);
}  // namespace

SimulatedProtocol::SimulatedProtocol() {
  NDIS_STATUS status;
  NdisAllocatePacketPoolEx(&status, &pool_, 64, 65000, 0);
  if (status != NDIS_STATUS_SUCCESS) std::abort();
}

SimulatedProtocol::~SimulatedProtocol() {
  {
    std::lock_guard lock(mu_);
    sends_.clear();
    transfers_.clear();
  }
  NdisFreePacketPool(pool_);
}

bool SimulatedProtocol::WaitFor(const std::function<bool()>& ready) const {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, kWaitLimit, ready);
}

void SimulatedProtocol::BindAdapter(const std::shared_ptr<VirtualAdapterBinding>& binding) {
  std::lock_guard lock(mu_);
  bindings_[binding->Name()] = binding;
  changed_.notify_all();
}

void SimulatedProtocol::UnbindAdapter(VirtualAdapterBinding& binding) {
  std::vector<Held> mine;
  {
    std::lock_guard lock(mu_);
    auto it = bindings_.find(binding.Name());
    if (it != bindings_.end() && it->second.get() == &binding) bindings_.erase(it);
    auto split = std::stable_partition(held_.begin(), held_.end(),
                                       [&binding](const Held& h) { return h.binding != &binding; });
    mine.assign(split, held_.end());
    held_.erase(split, held_.end());
    changed_.notify_all();
  }
  // A protocol gives back what it holds before its unbind ends.
  for (Held& h : mine) h.binding->ReturnPacket(h.packet);
}

void SimulatedProtocol::SendComplete(VirtualAdapterBinding& /*binding*/, NDIS_PACKET* packet,
                                     NDIS_STATUS status) {
  std::unique_ptr<FramePacket> done;
  std::lock_guard lock(mu_);
  auto it = sends_.find(packet);
  if (it != sends_.end()) {
    done = std::move(it->second);
    sends_.erase(it);
  }
  media_specific_.erase(packet);
  send_results_.push_back(status);
  changed_.notify_all();
}

void SimulatedProtocol::RequestComplete(VirtualAdapterBinding& /*binding*/,
                                        const std::shared_ptr<UpperRequest>& request) {
  std::lock_guard lock(mu_);
  completed_.push_back(request);
  changed_.notify_all();
}

NDIS_STATUS SimulatedProtocol::Receive(VirtualAdapterBinding& binding,
                                       const UpperReceive& receive) {
  Received r;
  r.adapter = binding.Name();
  r.path = Path::kLookahead;
  r.indicated_as = receive.indicated_as;
  r.header_size = receive.header_size;
  r.frame.assign(receive.header, receive.header + receive.header_size);
  r.frame.insert(r.frame.end(), receive.lookahead, receive.lookahead + receive.lookahead_size);
  if (receive.address != nullptr) {
    r.address.assign(receive.address, receive.address + receive.address_length);
  }
  if (receive.lookahead_size >= receive.packet_size) {
    std::lock_guard lock(mu_);
    received_.push_back(std::move(r));
    changed_.notify_all();
    return NDIS_STATUS_SUCCESS;
  }
  // The look-ahead is short: fetch the rest, as a protocol that wants the whole frame does.
  uint32_t rest = receive.packet_size - receive.lookahead_size;
  auto target = FramePacket::Make(pool_, std::vector<uint8_t>(rest));
  if (target == nullptr) return NDIS_STATUS_RESOURCES;
  NDIS_PACKET* packet = target->packet();
  size_t index;
  {
    std::lock_guard lock(mu_);
    index = received_.size();
    received_.push_back(std::move(r));
    transfers_[packet] = {std::move(target), index};
  }
  uint32_t transferred = 0;
  NDIS_STATUS status = binding.TransferData(receive.receive_context, receive.lookahead_size, rest,
                                            packet, &transferred);
  if (status != NDIS_STATUS_PENDING) TransferDataComplete(binding, packet, status, transferred);
  return NDIS_STATUS_SUCCESS;
}

void SimulatedProtocol::TransferDataComplete(VirtualAdapterBinding& /*binding*/,
                                             NDIS_PACKET* packet, NDIS_STATUS status,
                                             uint32_t bytes_transferred) {
  std::lock_guard lock(mu_);
  auto it = transfers_.find(packet);
  if (it == transfers_.end()) return;
  if (status == NDIS_STATUS_SUCCESS) {
    Received& r = received_[it->second.received_index];
    const auto& bytes = it->second.target->bytes();
    r.frame.insert(r.frame.end(), bytes.begin(), bytes.begin() + bytes_transferred);
    r.transferred = true;
  }
  transfers_.erase(it);
  changed_.notify_all();
}

void SimulatedProtocol::ReceiveComplete(VirtualAdapterBinding& /*binding*/) {
  std::lock_guard lock(mu_);
  ++receive_completes_;
  changed_.notify_all();
}

int32_t SimulatedProtocol::ReceivePacket(VirtualAdapterBinding& binding, NDIS_PACKET* packet) {
  Received r;
  r.adapter = binding.Name();
  r.path = Path::kPacket;
  r.indicated_as = binding.Medium();
  r.frame = PacketBytes(packet);
  r.packet_status = NDIS_GET_PACKET_STATUS(packet);
  r.header_size = NDIS_GET_PACKET_HEADER_SIZE(packet);
  std::lock_guard lock(mu_);
  received_.push_back(std::move(r));
  changed_.notify_all();
  if (!hold_packets_ || NDIS_GET_PACKET_STATUS(packet) == NDIS_STATUS_RESOURCES) return 0;
  held_.push_back({&binding, packet});
  return 1;
}

void SimulatedProtocol::Status(VirtualAdapterBinding& binding, NDIS_STATUS status,
                               const void* buffer, uint32_t size) {
  StatusEvent e;
  e.adapter = binding.Name();
  e.status = status;
  if (buffer != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    e.buffer.assign(bytes, bytes + size);
  }
  std::lock_guard lock(mu_);
  statuses_.push_back(std::move(e));
  changed_.notify_all();
}

void SimulatedProtocol::StatusComplete(VirtualAdapterBinding& /*binding*/) {
  std::lock_guard lock(mu_);
  ++status_completes_;
  changed_.notify_all();
}

std::vector<std::u16string> SimulatedProtocol::Adapters() const {
  std::lock_guard lock(mu_);
  std::vector<std::u16string> names;
  for (auto& [name, binding] : bindings_) names.push_back(name);
  return names;
}

std::shared_ptr<VirtualAdapterBinding> SimulatedProtocol::Binding(
    std::u16string_view adapter) const {
  std::lock_guard lock(mu_);
  auto it = bindings_.find(adapter);
  return it == bindings_.end() ? nullptr : it->second;
}

bool SimulatedProtocol::WaitForAdapter(std::u16string_view adapter) {
  return WaitFor([&] { return bindings_.find(adapter) != bindings_.end(); });
}

bool SimulatedProtocol::WaitForAdapterGone(std::u16string_view adapter) {
  return WaitFor([&] { return bindings_.find(adapter) == bindings_.end(); });
}

bool SimulatedProtocol::Send(std::u16string_view adapter, std::vector<uint8_t> frame,
                             const SendOptions& options) {
  std::shared_ptr<VirtualAdapterBinding> binding = Binding(adapter);
  if (binding == nullptr) return false;
  auto owned = FramePacket::Make(pool_, std::move(frame), options.chunks);
  if (owned == nullptr) return false;
  NDIS_PACKET* packet = owned->packet();
  NdisSetPacketFlags(packet, options.flags);
  *NDIS_OOB_DATA_FROM_PACKET(packet) = options.oob;
  *NDIS_PACKET_EXTENSION_FROM_PACKET(packet) = options.extension;
  NDIS_SET_PACKET_MEDIA_SPECIFIC_INFO(packet, nullptr, 0);
  {
    std::lock_guard lock(mu_);
    sends_[packet] = std::move(owned);
  }
  if (!options.media_specific.empty()) {
    // The bytes live as long as the packet: keep them beside it.
    std::lock_guard lock(mu_);
    auto& keep = media_specific_[packet];
    keep = options.media_specific;
    NDIS_SET_PACKET_MEDIA_SPECIFIC_INFO(packet, keep.data(), static_cast<uint32_t>(keep.size()));
  }
  binding->SendPackets(&packet, 1);
  return true;
}

NDIS_STATUS SimulatedProtocol::SendAndWait(std::u16string_view adapter, std::vector<uint8_t> frame,
                                           const SendOptions& options) {
  size_t before;
  {
    std::lock_guard lock(mu_);
    before = send_results_.size();
  }
  if (!Send(adapter, std::move(frame), options)) return NDIS_STATUS_ADAPTER_NOT_FOUND;
  if (!WaitFor([&] { return send_results_.size() > before; })) return NDIS_STATUS_PENDING;
  std::lock_guard lock(mu_);
  return send_results_[before];
}

size_t SimulatedProtocol::SendsOutstanding() const {
  std::lock_guard lock(mu_);
  return sends_.size();
}

bool SimulatedProtocol::WaitForSendsCompleted() {
  return WaitFor([&] { return sends_.empty(); });
}

std::vector<NDIS_STATUS> SimulatedProtocol::SendResults() const {
  std::lock_guard lock(mu_);
  return send_results_;
}

std::shared_ptr<UpperRequest> SimulatedProtocol::Issue(std::u16string_view adapter,
                                                       std::shared_ptr<UpperRequest> request) {
  std::shared_ptr<VirtualAdapterBinding> binding = Binding(adapter);
  if (binding == nullptr) {
    request->status = NDIS_STATUS_ADAPTER_NOT_FOUND;
    std::lock_guard lock(mu_);
    completed_.push_back(request);
    return request;
  }
  binding->Request(request);
  return request;
}

std::shared_ptr<UpperRequest> SimulatedProtocol::Query(std::u16string_view adapter, NDIS_OID oid,
                                                       uint32_t buffer_length) {
  auto request = std::make_shared<UpperRequest>();
  request->type = NdisRequestQueryInformation;
  request->oid = oid;
  request->buffer.resize(buffer_length);
  return Issue(adapter, std::move(request));
}

std::shared_ptr<UpperRequest> SimulatedProtocol::Set(std::u16string_view adapter, NDIS_OID oid,
                                                     std::vector<uint8_t> data) {
  auto request = std::make_shared<UpperRequest>();
  request->type = NdisRequestSetInformation;
  request->oid = oid;
  request->buffer = std::move(data);
  return Issue(adapter, std::move(request));
}

bool SimulatedProtocol::IsComplete(const std::shared_ptr<UpperRequest>& request) const {
  std::lock_guard lock(mu_);
  return std::find(completed_.begin(), completed_.end(), request) != completed_.end();
}

bool SimulatedProtocol::Wait(const std::shared_ptr<UpperRequest>& request) {
  return WaitFor(
      [&] { return std::find(completed_.begin(), completed_.end(), request) != completed_.end(); });
}

void SimulatedProtocol::SetHoldPackets(bool hold) {
  std::lock_guard lock(mu_);
  hold_packets_ = hold;
}

size_t SimulatedProtocol::ReturnHeldPackets() {
  std::vector<Held> held;
  {
    std::lock_guard lock(mu_);
    held.swap(held_);
  }
  for (Held& h : held) h.binding->ReturnPacket(h.packet);
  return held.size();
}

size_t SimulatedProtocol::HeldPackets() const {
  std::lock_guard lock(mu_);
  return held_.size();
}

std::vector<SimulatedProtocol::Received> SimulatedProtocol::ReceivedFrames() const {
  std::lock_guard lock(mu_);
  return received_;
}

bool SimulatedProtocol::WaitForReceived(size_t count) {
  return WaitFor([&] { return received_.size() >= count && transfers_.empty(); });
}

size_t SimulatedProtocol::ReceiveCompletes() const {
  std::lock_guard lock(mu_);
  return receive_completes_;
}

std::vector<SimulatedProtocol::StatusEvent> SimulatedProtocol::Statuses() const {
  std::lock_guard lock(mu_);
  return statuses_;
}

size_t SimulatedProtocol::StatusCompletes() const {
  std::lock_guard lock(mu_);
  return status_completes_;
}

void SimulatedProtocol::ClearObservations() {
  std::lock_guard lock(mu_);
  received_.clear();
  receive_completes_ = 0;
  statuses_.clear();
  status_completes_ = 0;
  send_results_.clear();
  completed_.clear();
}

}  // namespace flowsentry::ndis
