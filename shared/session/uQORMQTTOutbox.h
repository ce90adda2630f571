// What the client owes the broker: every publication it accepted and has
// not yet seen through, in the order the caller made them, and the packet
// identifiers in use. A publication is either in flight on the current link
// or waiting: held back by the broker's Receive Maximum, accepted while
// there was no link, or in flight on a link that was lost and so due again.
// No lock of its own: the session guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "uQORMQTTProtocol.h"
#include "uQORMQTTRequestState.h"

namespace qor {

struct TOutboundMessage {
  std::string Topic;
  std::string Payload;  // kept for resending after a lost link
  uint16_t PacketId = 0;  // 0 at QoS 0
  uint8_t QoS = 0;
  bool Sent = false;      // went out at least once: sent again, it carries DUP
  bool Received = false;  // QoS 2: the broker's PUBREC came, so a PUBREL is what is owed
  bool Offline = false;   // accepted while there was no link, not yet sent
  bool Retain = false;
  std::shared_ptr<const TQORMQTTProperties> Properties{};  // null: none
  uint64_t Seq = 0;        // the order the caller's requests were accepted in
  TRequestHandle Handle{};  // the caller's handle on it; null: none
  // A payload the caller gave up, taken over rather than copied (Payload is
  // then empty); shared with the sender while it is written from.
  std::shared_ptr<const std::string> Taken{};
  std::string_view Body() const { return Taken ? std::string_view(*Taken) : std::string_view(Payload); }
};

// What a broker's CONNACK allows a publication: the reason MQTT gives for
// refusing it, or 0.
struct TPublishLimits {
  uint8_t MaximumQoS = 2;
  bool RetainAvailable = true;
  uint32_t MaximumPacketSize = 0;  // 0: none
  uint8_t Level = 5;
  uint8_t Refusal(const TOutboundMessage& AMessage) const;
};

class TQORMQTTOutbox {
 public:
  // The next identifier not in use, after the last one handed out; 0 when
  // all 65535 are in use (an identifier long unacknowledged is skipped, not reused).
  uint16_t TakeId();
  void ReleaseId(uint16_t AId);

  // A new publication may leave at once: nothing waits before it and the
  // broker takes another one in flight.
  bool Sendable(uint16_t AReceiveMaximum) const { return FWaiting.empty() && FInFlight.size() < AReceiveMaximum; }
  void AddInFlight(TOutboundMessage AMessage);
  void AddWaiting(TOutboundMessage AMessage);

  // The packet of the oldest waiting publication, when the broker takes one
  // more in flight: a PUBREL when its PUBREC came, else the PUBLISH (with
  // DUP when it went out before). It moves in flight (QoS 0: out of the
  // box). Empty when nothing may go.
  TBytes ReleaseNext(uint16_t AReceiveMaximum, uint8_t ALevel, TOutboundMessage& AReleased);

  // In flight and acknowledged: removed, its identifier freed, its handle
  // (if any) in AHandle. False when no such publication is in flight.
  bool Complete(uint16_t APacketId, TRequestHandle* AHandle = nullptr);
  // The QoS of an in-flight publication; -1 when none has APacketId.
  int InFlightQoS(uint16_t APacketId) const;
  // The broker's PUBREC for an in-flight QoS 2 publication.
  void MarkReceived(uint16_t APacketId);
  // The broker refused an in-flight publication for want of room: it waits
  // again, first of all, as never sent. False when no such one is in flight.
  bool Refused(uint16_t APacketId);
  size_t InFlight() const { return FInFlight.size(); }
  // A new link: what was in flight is due again, before everything waiting.
  void Requeue();
  // A new link to a broker that kept no session: every publication it had
  // seen goes out as new (DUP clear, no PUBREL owed) under the identifier
  // the caller was given, which that broker has never seen. Returns those
  // identifiers.
  std::vector<uint16_t> Renew();
  // Takes out every waiting publication ALimits forbid (none that only a
  // PUBREL is owed for), oldest first, each with MQTT's reason for it.
  std::vector<std::pair<TOutboundMessage, uint8_t>> TakeForbidden(const TPublishLimits& ALimits);
  // Bytes of topic and payload waiting that were not accepted offline: what
  // the broker's Receive Maximum holds back in memory.
  size_t HeldBytes() const { return FHeldBytes; }
  // Everything is dropped; the identifiers of the QoS 1 and 2 publications,
  // and the handles of all, in AHandles.
  std::vector<uint16_t> Clear(size_t& ACount, std::vector<TRequestHandle>& AHandles);
  // A publication accepted at or before ASeq has not ended yet.
  bool OpenUpTo(uint64_t ASeq) const;

  // QoS 1 and 2 publications of either kind.
  size_t Pending() const { return FPending; }
  size_t Waiting() const { return FWaiting.size(); }
  size_t Offline() const { return FOffline; }

 private:
  std::deque<TOutboundMessage>::iterator FindInFlight(uint16_t APacketId);
  // A waiting publication is added or taken out: the counters follow.
  void Counted(const TOutboundMessage& AMessage, bool AAdded);

  std::deque<TOutboundMessage> FInFlight;  // oldest first
  std::deque<TOutboundMessage> FWaiting;   // oldest first; all younger than those in flight
  size_t FPending = 0;
  size_t FOffline = 0;
  size_t FHeldBytes = 0;
  // Few are in use at a time (those in flight): a set costs a client with
  // nothing in flight nothing, where a bit per identifier cost each 8 KiB.
  std::unordered_set<uint16_t> FIdsInUse;
  uint16_t FNextId = 1;
};

}  // namespace qor
