// A client with a last will that connects, says so on stdout and waits to
// be killed: the will tests end it the way a crash would.
// Usage: will_client PORT CLIENT_ID WILL_TOPIC WILL_DELAY PROTOCOL_VERSION
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "uQORMQTTClient.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  qor::TQORMQTTClient client;
  client.BrokerHostName = "127.0.0.1";
  client.BrokerPort = std::atoi(argv[1]);
  client.UseSSL = false;
  client.ClientID = argv[2];
  client.CleanStart = false;
  client.SessionExpiryInterval = 60;  // the broker holds a delayed will no longer than the session
  client.ProtocolVersion = static_cast<uint8_t>(std::atoi(argv[5]));
  qor::TQORMQTTMessage will;
  will.Topic = argv[3];
  will.Payload = "gone";
  will.QoS = qor::mqQoS1;
  will.UserProperties = {{"why", "killed"}};
  client.Will = will;
  client.WillDelayInterval = static_cast<uint32_t>(std::atoi(argv[4]));
  try {
    client.Connect();
  } catch (const qor::Exception& e) {
    std::printf("failed: %s\n", e.what());
    return 1;
  }
  std::printf("connected\n");
  std::fflush(stdout);
  for (;;) pause();
}
