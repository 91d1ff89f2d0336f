#include "driver/runtime/testing/simulated_adapter.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace flowsentry::ndis {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(10);

std::vector<uint8_t> Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

}  // namespace

SimulatedAdapter::SimulatedAdapter(Config config) : config_(std::move(config)) {
  NDIS_STATUS status;
  NdisAllocatePacketPoolEx(&status, &pool_, 64, 4096, 0);
  if (status != NDIS_STATUS_SUCCESS) std::abort();
  std::vector<uint8_t> description(config_.vendor_description.begin(),
                                   config_.vendor_description.end());
  description.push_back(0);
  answers_[OID_GEN_VENDOR_DESCRIPTION].data = description;
  answers_[OID_GEN_MEDIA_IN_USE].data = Le32(config_.medium);
  answers_[OID_GEN_MAC_OPTIONS].data = Le32(config_.mac_options);
  answers_[OID_GEN_MAXIMUM_LOOKAHEAD].data = Le32(1500);
  answers_[OID_GEN_MEDIA_CONNECT_STATUS].data = Le32(0);
  std::vector<uint8_t> mac(config_.mac.begin(), config_.mac.end());
  if (config_.medium == NdisMediumWan) {
    answers_[OID_WAN_CURRENT_ADDRESS].data = mac;
  } else {
    answers_[OID_802_3_CURRENT_ADDRESS].data = mac;
  }
  // Wake-up from D3 for every event, so that the driver's own answer is visible.
  NDIS_PNP_CAPABILITIES capabilities{0, {NdisDeviceStateD3, NdisDeviceStateD3, NdisDeviceStateD3}};
  const auto* raw = reinterpret_cast<const uint8_t*>(&capabilities);
  answers_[OID_PNP_CAPABILITIES].data.assign(raw, raw + sizeof(capabilities));
}

SimulatedAdapter::~SimulatedAdapter() {
  held_.clear();
  NdisFreePacketPool(pool_);
}

uint32_t SimulatedAdapter::HeaderSize() const { return config_.medium == NdisMediumFddi ? 13 : 14; }

bool SimulatedAdapter::WaitFor(const std::function<bool()>& ready) const {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, kWaitLimit, ready);
}

std::vector<std::shared_ptr<AdapterEdge>> SimulatedAdapter::Edges() const {
  std::lock_guard lock(mu_);
  return edges_;
}

NDIS_STATUS SimulatedAdapter::Open(const std::shared_ptr<AdapterEdge>& edge) {
  std::lock_guard lock(mu_);
  if (open_completion_ == Completion::kPending) {
    pending_opens_.push_back(edge);
    changed_.notify_all();
    return NDIS_STATUS_PENDING;
  }
  if (open_result_ == NDIS_STATUS_SUCCESS) edges_.push_back(edge);
  return open_result_;
}

NDIS_STATUS SimulatedAdapter::Close(AdapterEdge& edge) {
  std::lock_guard lock(mu_);
  if (close_completion_ == Completion::kPending) {
    pending_closes_.push_back(&edge);
    changed_.notify_all();
    return NDIS_STATUS_PENDING;
  }
  edges_.erase(std::remove_if(edges_.begin(), edges_.end(),
                              [&edge](const auto& e) { return e.get() == &edge; }),
               edges_.end());
  return close_result_;
}

NDIS_STATUS SimulatedAdapter::Answer(NDIS_REQUEST* request) {
  std::lock_guard lock(mu_);
  if (request->RequestType == NdisRequestSetInformation) {
    auto& set = request->DATA.SET_INFORMATION;
    const auto* data = static_cast<const uint8_t*>(set.InformationBuffer);
    sets_.push_back({set.Oid, std::vector<uint8_t>(data, data + set.InformationBufferLength)});
    auto it = answers_.find(set.Oid);
    NDIS_STATUS status = it != answers_.end() ? it->second.status : NDIS_STATUS_SUCCESS;
    set.BytesRead = status == NDIS_STATUS_SUCCESS ? set.InformationBufferLength : 0;
    set.BytesNeeded = 0;
    return status;
  }
  auto& query = request->DATA.QUERY_INFORMATION;
  queries_.push_back(query.Oid);
  query.BytesWritten = 0;
  query.BytesNeeded = 0;
  auto it = answers_.find(query.Oid);
  if (it == answers_.end()) return NDIS_STATUS_NOT_SUPPORTED;
  const struct Answer& answer = it->second;
  if (answer.status != NDIS_STATUS_SUCCESS) return answer.status;
  auto size = static_cast<uint32_t>(answer.data.size());
  if (size > query.InformationBufferLength && answer.fit == Fit::kExact) {
    query.BytesNeeded = size;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  uint32_t n = std::min(size, query.InformationBufferLength);
  std::copy_n(answer.data.begin(), n, static_cast<uint8_t*>(query.InformationBuffer));
  query.BytesWritten = n;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SimulatedAdapter::Request(AdapterEdge& edge, NDIS_REQUEST* request) {
  {
    std::lock_guard lock(mu_);
    if (request_completion_ == Completion::kPending) {
      pending_requests_.push_back({&edge, request});
      changed_.notify_all();
      return NDIS_STATUS_PENDING;
    }
  }
  return Answer(request);
}

NDIS_STATUS SimulatedAdapter::Send(AdapterEdge& edge, NDIS_PACKET* packet) {
  SentPacket sent;
  sent.frame = PacketBytes(packet);
  sent.flags = NdisGetPacketFlags(packet);
  sent.oob = *NDIS_OOB_DATA_FROM_PACKET(packet);
  sent.extension = *NDIS_PACKET_EXTENSION_FROM_PACKET(packet);
  void* info = nullptr;
  uint32_t info_size = 0;
  NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(packet, &info, &info_size);
  if (info != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(info);
    sent.media_specific.assign(bytes, bytes + info_size);
  }
  std::lock_guard lock(mu_);
  sent_.push_back(std::move(sent));
  if (send_completion_ == Completion::kPending) {
    pending_sends_.push_back({&edge, packet});
    changed_.notify_all();
    return NDIS_STATUS_PENDING;
  }
  return send_result_;
}

NDIS_STATUS SimulatedAdapter::TransferData(AdapterEdge& edge, ReceiveIndication* indication,
                                           uint32_t byte_offset, uint32_t bytes_to_transfer,
                                           NDIS_PACKET* packet, uint32_t* bytes_transferred) {
  *bytes_transferred = 0;
  if (indication == nullptr || indication->adapter_context == nullptr) {
    return NDIS_STATUS_FAILURE;
  }
  auto* indicated = static_cast<Indicated*>(indication->adapter_context);
  const std::vector<uint8_t>& frame = indicated->frame->bytes();
  size_t start = std::min<size_t>(frame.size(), indicated->header_size + size_t{byte_offset});
  size_t n = std::min<size_t>(frame.size() - start, bytes_to_transfer);
  std::vector<uint8_t> bytes(frame.begin() + start, frame.begin() + start + n);
  {
    std::lock_guard lock(mu_);
    if (transfer_completion_ == Completion::kPending) {
      pending_transfers_.push_back({&edge, packet, std::move(bytes)});
      changed_.notify_all();
      return NDIS_STATUS_PENDING;
    }
  }
  *bytes_transferred = CopyToPacket(packet, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return NDIS_STATUS_SUCCESS;
}

void SimulatedAdapter::PacketReturned(NDIS_PACKET* packet) {
  std::lock_guard lock(mu_);
  held_.erase(packet);
  changed_.notify_all();
}

void SimulatedAdapter::SetOpenCompletion(Completion completion, NDIS_STATUS result) {
  std::lock_guard lock(mu_);
  open_completion_ = completion;
  open_result_ = result;
}

void SimulatedAdapter::SetCloseCompletion(Completion completion, NDIS_STATUS result) {
  std::lock_guard lock(mu_);
  close_completion_ = completion;
  close_result_ = result;
}

void SimulatedAdapter::SetRequestCompletion(Completion completion) {
  std::lock_guard lock(mu_);
  request_completion_ = completion;
}

void SimulatedAdapter::SetSendCompletion(Completion completion, NDIS_STATUS result) {
  std::lock_guard lock(mu_);
  send_completion_ = completion;
  send_result_ = result;
}

void SimulatedAdapter::SetTransferCompletion(Completion completion) {
  std::lock_guard lock(mu_);
  transfer_completion_ = completion;
}

void SimulatedAdapter::SetOidAnswer(NDIS_OID oid, std::vector<uint8_t> data, Fit fit) {
  std::lock_guard lock(mu_);
  answers_[oid] = {std::move(data), fit, NDIS_STATUS_SUCCESS};
}

void SimulatedAdapter::SetOidStatus(NDIS_OID oid, NDIS_STATUS status) {
  std::lock_guard lock(mu_);
  answers_[oid].status = status;
}

size_t SimulatedAdapter::CompletePendingOpens() {
  std::deque<std::shared_ptr<AdapterEdge>> opens;
  NDIS_STATUS result;
  {
    std::lock_guard lock(mu_);
    opens.swap(pending_opens_);
    result = open_result_;
    if (result == NDIS_STATUS_SUCCESS) edges_.insert(edges_.end(), opens.begin(), opens.end());
  }
  for (auto& edge : opens) edge->CompleteOpen(result);
  return opens.size();
}

size_t SimulatedAdapter::CompletePendingCloses() {
  std::deque<AdapterEdge*> closes;
  NDIS_STATUS result;
  std::vector<std::shared_ptr<AdapterEdge>> keep;  // alive until their completion ran
  {
    std::lock_guard lock(mu_);
    closes.swap(pending_closes_);
    result = close_result_;
    for (AdapterEdge* edge : closes) {
      auto it = std::find_if(edges_.begin(), edges_.end(),
                             [edge](const auto& e) { return e.get() == edge; });
      if (it != edges_.end()) {
        keep.push_back(*it);
        edges_.erase(it);
      }
    }
  }
  for (AdapterEdge* edge : closes) edge->CompleteClose(result);
  return closes.size();
}

size_t SimulatedAdapter::CompletePendingRequests() {
  std::deque<PendingRequest> requests;
  {
    std::lock_guard lock(mu_);
    requests.swap(pending_requests_);
  }
  for (PendingRequest& p : requests) p.edge->CompleteRequest(p.request, Answer(p.request));
  return requests.size();
}

size_t SimulatedAdapter::CompletePendingSends() {
  std::deque<PendingSend> sends;
  NDIS_STATUS result;
  {
    std::lock_guard lock(mu_);
    sends.swap(pending_sends_);
    result = send_result_;
  }
  for (PendingSend& p : sends) p.edge->CompleteSend(p.packet, result);
  return sends.size();
}

size_t SimulatedAdapter::CompletePendingTransfers() {
  std::deque<PendingTransfer> transfers;
  {
    std::lock_guard lock(mu_);
    transfers.swap(pending_transfers_);
  }
  for (PendingTransfer& p : transfers) {
    uint32_t n = CopyToPacket(p.packet, 0, p.bytes.data(), static_cast<uint32_t>(p.bytes.size()));
    p.edge->CompleteTransferData(p.packet, NDIS_STATUS_SUCCESS, n);
  }
  return transfers.size();
}

bool SimulatedAdapter::WaitForPendingOpens(size_t count) {
  return WaitFor([&] { return pending_opens_.size() >= count; });
}
bool SimulatedAdapter::WaitForPendingCloses(size_t count) {
  return WaitFor([&] { return pending_closes_.size() >= count; });
}
bool SimulatedAdapter::WaitForPendingRequests(size_t count) {
  return WaitFor([&] { return pending_requests_.size() >= count; });
}
bool SimulatedAdapter::WaitForPendingSends(size_t count) {
  return WaitFor([&] { return pending_sends_.size() >= count; });
}

size_t SimulatedAdapter::PendingSends() const {
  std::lock_guard lock(mu_);
  return pending_sends_.size();
}

size_t SimulatedAdapter::PendingRequests() const {
  std::lock_guard lock(mu_);
  return pending_requests_.size();
}

size_t SimulatedAdapter::Receive(const std::vector<uint8_t>& frame, const ReceiveOptions& options) {
  size_t reached = 0;
  const uint32_t header_size = std::min<uint32_t>(HeaderSize(), frame.size());
  for (auto& edge : Edges()) {
    auto indicated = std::make_unique<Indicated>();
    indicated->frame = FramePacket::Make(pool_, frame, options.chunks);
    if (indicated->frame == nullptr) continue;
    indicated->header_size = header_size;
    NDIS_PACKET* packet = indicated->frame->packet();
    NDIS_SET_PACKET_HEADER_SIZE(packet, header_size);
    bool delivered = false;
    if (options.kind == ReceiveKind::kPacket || options.kind == ReceiveKind::kPacketResources) {
      NDIS_SET_PACKET_STATUS(packet, options.kind == ReceiveKind::kPacketResources
                                         ? NDIS_STATUS_RESOURCES
                                         : NDIS_STATUS_SUCCESS);
      {
        std::lock_guard lock(mu_);
        held_[packet] = std::move(indicated);
      }
      bool kept = edge->IndicateReceivePacket(packet, &delivered);
      if (!kept) {
        std::lock_guard lock(mu_);
        held_.erase(packet);
      }
    } else {
      NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);
      indicated->indication.packet =
          options.kind == ReceiveKind::kLookaheadWithPacket ? packet : nullptr;
      indicated->indication.adapter_context = indicated.get();
      const uint8_t* data = indicated->frame->bytes().data();
      uint32_t rest = static_cast<uint32_t>(frame.size()) - header_size;
      uint32_t lookahead = std::min(rest, options.lookahead_limit);
      // A transfer that pends takes its own copy of the bytes, so the frame may go after this.
      delivered = edge->IndicateReceive(&indicated->indication, data, header_size,
                                        data + header_size, lookahead, rest);
    }
    if (options.complete) edge->IndicateReceiveComplete();
    if (delivered) ++reached;
  }
  if (reached != 0) received_.fetch_add(1);
  return reached;
}

size_t SimulatedAdapter::IndicateStatus(NDIS_STATUS status, std::vector<uint8_t> buffer) {
  size_t reached = 0;
  for (auto& edge : Edges()) {
    if (edge->IndicateStatus(status, buffer.data(), static_cast<uint32_t>(buffer.size()))) {
      ++reached;
      edge->IndicateStatusComplete();
    }
  }
  return reached;
}

NDIS_STATUS SimulatedAdapter::SetPower(NDIS_DEVICE_POWER_STATE state) {
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  for (auto& edge : Edges()) {
    NDIS_DEVICE_POWER_STATE value = state;
    NET_PNP_EVENT event;
    event.NetEvent = NetEventSetPower;
    event.Buffer = &value;
    event.BufferLength = sizeof(value);
    status = edge->IndicatePnPEvent(&event);
  }
  return status;
}

std::vector<SimulatedAdapter::SentPacket> SimulatedAdapter::Sent() const {
  std::lock_guard lock(mu_);
  return sent_;
}

uint64_t SimulatedAdapter::FramesSent() const {
  std::lock_guard lock(mu_);
  return sent_.size();
}

std::vector<std::vector<uint8_t>> SimulatedAdapter::SentFrames() const {
  std::lock_guard lock(mu_);
  std::vector<std::vector<uint8_t>> frames;
  for (const SentPacket& s : sent_) frames.push_back(s.frame);
  return frames;
}

std::vector<SimulatedAdapter::SetRecord> SimulatedAdapter::Sets() const {
  std::lock_guard lock(mu_);
  return sets_;
}

std::vector<NDIS_OID> SimulatedAdapter::Queries() const {
  std::lock_guard lock(mu_);
  return queries_;
}

size_t SimulatedAdapter::HeldPackets() const {
  std::lock_guard lock(mu_);
  return held_.size();
}

size_t SimulatedAdapter::OpenEdges() const {
  std::lock_guard lock(mu_);
  return edges_.size();
}

}  // namespace flowsentry::ndis
