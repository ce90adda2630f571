// Arbitrary bytes into the client's inbound dispatch, parsed at level 5 or 4
// and delivered in pieces of any size: no crash, no leak, no undefined
// behaviour, every loop ends, and what reaches OnMessage is never more than
// the bytes fed. The first byte chooses the level and the piece size.
#include <cstdlib>

#include "uQORMQTTInboundDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize < 1) return 0;
  const uint8_t control = AData[0];
  const uint8_t level = (control & 1) ? qor::MQTT_PROTOCOL_LEVEL_50 : qor::MQTT_PROTOCOL_LEVEL_311;
  const int piece = 1 + (control >> 1);

  qor::TQORMQTTClient client;
  size_t delivered = 0;
  client.OnMessage = [&](const std::string& ATopic, const std::string& APayload, qor::TQORMQTTQoS AQoS) {
    delivered += ATopic.size() + APayload.size();
    if (AQoS > 3) std::abort();
  };
  client.OnLog = [](const std::string&) {};  // log lines are formatted, as with a listener
  client.OnDisconnect = [](qor::TQORMQTTReasonCode, const std::string&) {};

  qor::TMemoryByteSource source(std::vector<uint8_t>(AData + 1, AData + ASize), piece);
  qor::TQORMQTTInboundDriver(client, level).Feed(source);
  if (delivered > ASize) std::abort();
  return 0;
}
