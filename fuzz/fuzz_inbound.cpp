// Arbitrary bytes into the protocol session, parsed at level 5 or 4 and
// delivered in pieces of any size: no crash, no leak, no undefined
// behaviour, every loop ends, and what is delivered is never more than the
// bytes fed. The first byte chooses the level, the piece size and (bit 7)
// whether the client asked for enhanced authentication and topic aliases,
// which makes AUTH and alias-carrying PUBLISH packets take their own paths.
#include <cstdlib>

#include "uQORMQTTSession.h"

namespace {

class TCheckingSink final : public qor::ISessionSink {
 public:
  size_t Delivered = 0;
  bool Logging() const override { return true; }  // log lines are formatted, as with a listener
  void Log(const std::string&) override {}
  bool Send(qor::TBytes, const qor::TSendMode&) override { return true; }
  void Deliver(qor::TQORMQTTMessage& AMessage) override {
    Delivered += AMessage.Topic.size() + AMessage.Payload.size();
    // Only what MQTT lets a broker send is delivered: a topic name (aliases
    // resolved) without wildcards, an identifier wherever an answer is owed.
    if (AMessage.QoS > 2 || AMessage.Topic.empty() || AMessage.Topic.find_first_of("+#") != std::string::npos ||
        (AMessage.QoS > 0 && AMessage.PacketId == 0))
      std::abort();
  }
  bool WantsAcknowledgements() const override { return true; }
  void Acknowledged(const qor::TQORMQTTAcknowledgement& AAck) override {
    // One code, but for SUBACK and UNSUBACK, which carry one per filter (a broken broker's: none).
    const bool perFilter = AAck.PacketType == qor::MQTT_SUBACK || AAck.PacketType == qor::MQTT_UNSUBACK;
    if (!perFilter && AAck.ReasonCodes.size() != 1) std::abort();
  }
  std::optional<qor::TBytes> Authenticate(const std::string&, const qor::TBytes& AData) override { return AData; }
  void Connack(uint8_t, bool) override {}
  void BrokerDisconnect(uint8_t, const qor::TBrokerWords&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize < 1) return 0;
  const uint8_t control = AData[0];
  qor::TQORMQTTSession session;
  session.SetProtocolLevel((control & 1) ? qor::MQTT_PROTOCOL_LEVEL_50 : qor::MQTT_PROTOCOL_LEVEL_311);
  TCheckingSink sink;
  if (control & 0x80) {
    qor::TConnectFields fields;
    fields.Properties.AuthenticationMethod = "m";
    fields.Properties.TopicAliasMaximum = 4;
    session.Connect(fields, sink);
    session.SetTopicAliases(true);
  }
  if (control & 0x80) {
    // A session that sent CONNECT takes no PUBLISH before its CONNACK: one
    // comes first, so that the input reaches the alias paths.
    qor::TMemoryByteSource connack((control & 1) ? std::vector<uint8_t>{0x20, 0x03, 0x00, 0x00, 0x00}
                                                 : std::vector<uint8_t>{0x20, 0x02, 0x00, 0x00},
                                   64);
    session.Feed(connack, sink);
  }
  qor::TMemoryByteSource source(std::vector<uint8_t>(AData + 1, AData + ASize), 1 + ((control >> 1) & 0x3F));
  session.Feed(source, sink);
  if (sink.Delivered > ASize) std::abort();
  return 0;
}
