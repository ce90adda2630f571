#include "uQORMQTTOutbox.h"

#include <algorithm>

namespace qor {

uint8_t TPublishLimits::Refusal(const TOutboundMessage& AMessage) const {
  if (AMessage.QoS > MaximumQoS) return 0x9B;  // QoS not supported
  if (AMessage.Retain && !RetainAvailable) return 0x9A;  // retain not supported
  if (MaximumPacketSize != 0 &&
      PacketSize(PublishContentSize(AMessage.Topic.size(), AMessage.Body().size(), AMessage.QoS, Level,
                                    AMessage.Properties.get())) > MaximumPacketSize)
    return 0x95;  // packet too large
  return 0;
}

void TQORMQTTOutbox::Counted(const TOutboundMessage& AMessage, bool AAdded) {
  size_t& counter = AMessage.Offline ? FOffline : FHeldBytes;
  const size_t amount = AMessage.Offline ? 1 : AMessage.Topic.size() + AMessage.Body().size();
  counter = AAdded ? counter + amount : counter - amount;
}

uint16_t TQORMQTTOutbox::TakeId() {
  for (uint32_t tried = 0; tried < 65535; ++tried) {
    const uint16_t id = FNextId;
    if (++FNextId == 0) FNextId = 1;
    if (FIdsInUse.insert(id).second) return id;
  }
  return 0;
}

void TQORMQTTOutbox::ReleaseId(uint16_t AId) { FIdsInUse.erase(AId); }

void TQORMQTTOutbox::AddInFlight(TOutboundMessage AMessage) {
  if (AMessage.QoS != 0) ++FPending;
  FInFlight.push_back(std::move(AMessage));
}

void TQORMQTTOutbox::AddWaiting(TOutboundMessage AMessage) {
  if (AMessage.QoS != 0) ++FPending;
  Counted(AMessage, true);
  FWaiting.push_back(std::move(AMessage));
}

TBytes TQORMQTTOutbox::ReleaseNext(uint16_t AReceiveMaximum, uint8_t ALevel, TOutboundMessage& AReleased) {
  if (FWaiting.empty()) return {};
  TOutboundMessage& next = FWaiting.front();
  // QoS 0 takes no slot of the broker's, but keeps its place in the order.
  if (next.QoS != 0 && FInFlight.size() >= AReceiveMaximum) return {};
  TBytes packet = next.Received
                      ? BuildPubRelPacket(next.PacketId, 0, ALevel)
                      : BuildPublishPacket(next.Topic, next.Body(), next.QoS, next.PacketId, ALevel,
                                           next.Retain, next.Sent, next.Properties.get());
  Counted(next, false);
  // What the caller needs of it for its log line; topic and payload stay here.
  AReleased.PacketId = next.PacketId;
  AReleased.QoS = next.QoS;
  AReleased.Sent = next.Sent;
  AReleased.Received = next.Received;
  AReleased.Offline = next.Offline;
  AReleased.Seq = next.Seq;
  if (next.QoS == 0) AReleased.Handle = std::move(next.Handle);  // it ends once sent
  if (next.QoS != 0) {
    next.Sent = true;
    next.Offline = false;
    FInFlight.push_back(std::move(next));
  }
  FWaiting.pop_front();
  return packet;
}

std::deque<TOutboundMessage>::iterator TQORMQTTOutbox::FindInFlight(uint16_t APacketId) {
  // Acknowledgements mostly come in order: the oldest entry is the usual match.
  return std::find_if(FInFlight.begin(), FInFlight.end(),
                      [&](const TOutboundMessage& m) { return m.PacketId == APacketId; });
}

bool TQORMQTTOutbox::Complete(uint16_t APacketId, TRequestHandle* AHandle) {
  const auto it = FindInFlight(APacketId);
  if (it == FInFlight.end()) return false;
  if (AHandle) *AHandle = std::move(it->Handle);
  FInFlight.erase(it);
  --FPending;
  ReleaseId(APacketId);
  return true;
}

int TQORMQTTOutbox::InFlightQoS(uint16_t APacketId) const {
  const auto it = std::find_if(FInFlight.begin(), FInFlight.end(),
                               [&](const TOutboundMessage& m) { return m.PacketId == APacketId; });
  return it == FInFlight.end() ? -1 : it->QoS;
}

void TQORMQTTOutbox::MarkReceived(uint16_t APacketId) {
  for (TOutboundMessage& m : FInFlight)
    if (m.PacketId == APacketId && m.QoS == 2) m.Received = true;
}

bool TQORMQTTOutbox::Refused(uint16_t APacketId) {
  const auto it = FindInFlight(APacketId);
  if (it == FInFlight.end()) return false;
  it->Sent = false;
  Counted(*it, true);
  FWaiting.push_front(std::move(*it));
  FInFlight.erase(it);
  return true;
}

void TQORMQTTOutbox::Requeue() {
  for (const TOutboundMessage& m : FInFlight) Counted(m, true);
  FWaiting.insert(FWaiting.begin(), std::make_move_iterator(FInFlight.begin()), std::make_move_iterator(FInFlight.end()));
  FInFlight.clear();
}

std::vector<uint16_t> TQORMQTTOutbox::Renew() {
  std::vector<uint16_t> renewed;
  for (TOutboundMessage& m : FWaiting) {
    if (m.QoS == 0 || !m.Sent) continue;
    m.Sent = false;
    m.Received = false;
    renewed.push_back(m.PacketId);
  }
  return renewed;
}

std::vector<std::pair<TOutboundMessage, uint8_t>> TQORMQTTOutbox::TakeForbidden(const TPublishLimits& ALimits) {
  std::vector<std::pair<TOutboundMessage, uint8_t>> taken;
  for (auto it = FWaiting.begin(); it != FWaiting.end();) {
    const uint8_t reason = it->Received ? 0 : ALimits.Refusal(*it);
    if (reason == 0) {
      ++it;
      continue;
    }
    Counted(*it, false);
    if (it->QoS != 0) {
      --FPending;
      ReleaseId(it->PacketId);
    }
    taken.emplace_back(std::move(*it), reason);
    it = FWaiting.erase(it);
  }
  return taken;
}

std::vector<uint16_t> TQORMQTTOutbox::Clear(size_t& ACount, std::vector<TRequestHandle>& AHandles) {
  std::vector<uint16_t> ids;
  ACount = FInFlight.size() + FWaiting.size();
  for (auto* list : {&FInFlight, &FWaiting})
    for (TOutboundMessage& m : *list) {
      if (m.Handle) AHandles.push_back(std::move(m.Handle));
      if (m.QoS != 0) {
        ids.push_back(m.PacketId);
        ReleaseId(m.PacketId);
      }
    }
  FInFlight.clear();
  FWaiting.clear();
  FPending = 0;
  FOffline = 0;
  FHeldBytes = 0;
  return ids;
}

bool TQORMQTTOutbox::OpenUpTo(uint64_t ASeq) const {
  // Mostly in order, oldest first (a refused publication goes back to wait
  // before younger ones): while old ones are open the first look finds one.
  for (const auto* list : {&FInFlight, &FWaiting})
    for (const TOutboundMessage& m : *list)
      if (m.Seq != 0 && m.Seq <= ASeq) return true;
  return false;
}

}  // namespace qor
