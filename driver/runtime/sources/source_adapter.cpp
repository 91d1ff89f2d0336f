#include "driver/runtime/sources/source_adapter.h"

#include <algorithm>
#include <cstdlib>

namespace flowsentry::ndis {

void FrameForRuntime(const SourceFrame& frame, std::vector<uint8_t>& bytes) {
  const size_t length =
      std::min<size_t>(std::max<size_t>(frame.length, frame.bytes.size()), kMaxFrameLength);
  const size_t copied = std::min(length, frame.bytes.size());
  bytes.resize(length);
  std::copy_n(frame.bytes.begin(), copied, bytes.begin());
  std::fill(bytes.begin() + static_cast<ptrdiff_t>(copied), bytes.end(), 0);
}

std::vector<uint8_t> FrameForRuntime(const SourceFrame& frame) {
  std::vector<uint8_t> bytes;
  FrameForRuntime(frame, bytes);
  return bytes;
}

SourceAdapter::SourceAdapter(std::string name, AdapterProfile profile)
    : name_(std::move(name)), medium_(profile.medium), profile_(std::move(profile)) {
  NDIS_STATUS status;
  NdisAllocatePacketPoolEx(&status, &pool_, 64, 65000, 0);
  if (status != NDIS_STATUS_SUCCESS) std::abort();
}

AdapterCounters SourceAdapter::CountersLocked() const {
  AdapterCounters counters = counters_;
  counters.sent = sent_.load(std::memory_order_relaxed);
  return counters;
}

SourceAdapter::~SourceAdapter() {
  held_.clear();
  NdisFreePacketPool(pool_);
}

std::vector<std::shared_ptr<AdapterEdge>> SourceAdapter::Edges() const {
  std::lock_guard lock(mu_);
  return edges_;
}

NDIS_STATUS SourceAdapter::Open(const std::shared_ptr<AdapterEdge>& edge) {
  std::lock_guard lock(mu_);
  edges_.push_back(edge);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SourceAdapter::Close(AdapterEdge& edge) {
  std::lock_guard lock(mu_);
  std::erase_if(edges_, [&edge](const auto& e) { return e.get() == &edge; });
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SourceAdapter::Request(AdapterEdge& /*edge*/, NDIS_REQUEST* request) {
  std::lock_guard lock(mu_);
  if (request->RequestType == NdisRequestSetInformation) {
    auto& set = request->DATA.SET_INFORMATION;
    return AnswerSet(profile_, settings_, set.Oid, set.InformationBuffer,
                     set.InformationBufferLength, &set.BytesRead, &set.BytesNeeded);
  }
  auto& query = request->DATA.QUERY_INFORMATION;
  return AnswerQuery(profile_, CountersLocked(), settings_, query.Oid, query.InformationBuffer,
                     query.InformationBufferLength, &query.BytesWritten, &query.BytesNeeded);
}

NDIS_STATUS SourceAdapter::Send(AdapterEdge& /*edge*/, NDIS_PACKET* /*packet*/) {
  // Every frame the host sends comes here; the count needs no lock of its own.
  sent_.fetch_add(1, std::memory_order_relaxed);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SourceAdapter::TransferData(AdapterEdge& /*edge*/, ReceiveIndication* /*indication*/,
                                        uint32_t /*byte_offset*/, uint32_t /*bytes_to_transfer*/,
                                        NDIS_PACKET* /*packet*/, uint32_t* bytes_transferred) {
  // Frames are indicated whole, so there is never anything left to transfer.
  *bytes_transferred = 0;
  return NDIS_STATUS_FAILURE;
}

void SourceAdapter::PacketReturned(NDIS_PACKET* packet) {
  std::unique_ptr<FramePacket> done;
  std::lock_guard lock(mu_);
  auto it = held_.find(packet);
  if (it == held_.end()) return;
  done = std::move(it->second);
  held_.erase(it);
}

size_t SourceAdapter::IndicateFrame(const SourceFrame& frame) {
  size_t reached = 0;
  const uint32_t header = HeaderSize(medium_);
  for (auto& edge : Edges()) {
    std::unique_ptr<FramePacket> indicated = FramePacket::Make(pool_, FrameForRuntime(frame));
    if (indicated == nullptr) continue;
    NDIS_PACKET* packet = indicated->packet();
    NDIS_SET_PACKET_HEADER_SIZE(
        packet, std::min<uint32_t>(header, static_cast<uint32_t>(indicated->bytes().size())));
    NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
    {
      std::lock_guard lock(mu_);
      held_[packet] = std::move(indicated);
      ++counters_.received;
    }
    bool delivered = false;
    if (!edge->IndicateReceivePacket(packet, &delivered)) {
      std::unique_ptr<FramePacket> done;
      std::lock_guard lock(mu_);
      auto it = held_.find(packet);
      if (it != held_.end()) {
        done = std::move(it->second);
        held_.erase(it);
      }
    }
    if (delivered) {
      edge->IndicateReceiveComplete();
      ++reached;
    }
  }
  return reached;
}

void SourceAdapter::SetConnected(bool connected) {
  {
    std::lock_guard lock(mu_);
    if (profile_.connected == connected) return;
    profile_.connected = connected;
  }
  const NDIS_STATUS status = connected ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT;
  for (auto& edge : Edges()) {
    if (edge->IndicateStatus(status, nullptr, 0)) edge->IndicateStatusComplete();
  }
}

bool SourceAdapter::Connected() const {
  std::lock_guard lock(mu_);
  return profile_.connected;
}

void SourceAdapter::SetMac(const MacAddress& mac) {
  std::lock_guard lock(mu_);
  profile_.mac = mac;
}

AdapterProfile SourceAdapter::Profile() const {
  std::lock_guard lock(mu_);
  return profile_;
}

AdapterCounters SourceAdapter::Counters() const {
  std::lock_guard lock(mu_);
  return CountersLocked();
}

size_t SourceAdapter::OpenEdges() const {
  std::lock_guard lock(mu_);
  return edges_.size();
}

}  // namespace flowsentry::ndis
