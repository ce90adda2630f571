// The session's part in a link's life: which level to speak, which name to
// give, and the keepalive and back-off rules in time.
#include "uQORMQTTSession.h"

namespace qor {

std::string TQORMQTTSession::ClientIdentifier(const std::string& AConfigured) const {
  if (!AConfigured.empty()) return AConfigured;
  std::lock_guard<std::mutex> guard(FMutex);
  return FAssignedClientID;
}

bool TQORMQTTSession::FallBackAfterClose(bool AFirstAttempt, bool APlainClose, bool ANothingReceived,
                                         uint8_t AVersion, ISessionSink& ASink) {
  if (FLevel != MQTT_PROTOCOL_LEVEL_50 || AVersion != MQTT_PROTOCOL_LEVEL_50 || !AFirstAttempt || !APlainClose ||
      !ANothingReceived)
    return false;
  LogTo(ASink, "Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1");
  LogTo(ASink, "Retrying with MQTT 3.1.1");
  FLevel = MQTT_PROTOCOL_LEVEL_311;
  return true;
}

int32_t TQORMQTTSession::KeepAliveSecs(int32_t AClientKeepAliveSecs) const {
  const int32_t server = FServerKeepAlive;
  return server >= 0 ? server : AClientKeepAliveSecs;
}

void TQORMQTTSession::Lost(int64_t ANow) {
  FBackoff.LinkLost(ANow);
  // What was owed on that link goes nowhere now.
  std::lock_guard<std::mutex> guard(FMutex);
  ++FLinkCount;
  FRecDeferred.clear();
}

void TQORMQTTSession::Established(int64_t ANow, int32_t AClientKeepAliveSecs) {
  FKeepalive.Start(ANow, KeepAliveSecs(AClientKeepAliveSecs));
  FBackoff.LinkUp(ANow);
}

TKeepalive::TAction TQORMQTTSession::Tick(int64_t ANow, const TLinkProgress& AProgress, ISessionSink& ASink) {
  const TKeepalive::TAction action = FKeepalive.Tick(ANow, AProgress);
  if (action == TKeepalive::TAction::Ping) {
    const bool sent = ASink.Send(BuildPingReqPacket());
    LogTo(ASink, sent ? "PINGREQ sent" : "Keepalive PINGREQ failed: MQTT client is not connected");
  }
  return action;
}

}  // namespace qor
