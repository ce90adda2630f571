// qor_publish: publishes one message at QoS 1, waits for the broker's
// acknowledgement and leaves.
//
//   qor_publish TOPIC MESSAGE [HOST [PORT]]     (plain TCP; default 127.0.0.1 1883)
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "uQORMQTTClient.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: " << argv[0] << " TOPIC MESSAGE [HOST [PORT]]\n";
    return 2;
  }
  qor::TQORMQTTClient client;
  client.BrokerHostName = argc > 3 ? argv[3] : "127.0.0.1";
  client.BrokerPort = argc > 4 ? std::atoi(argv[4]) : 1883;
  client.UseSSL = false;
  client.ClientID = "qor-publish-" + std::to_string(getpid());
  try {
    client.Connect();
    client.Publish(argv[1], argv[2], qor::mqQoS1);
    // QoS 1: the message is the broker's once its PUBACK is in.
    for (int i = 0; i < 50 && client.PendingCount() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool acknowledged = client.PendingCount() == 0;
    client.Disconnect();
    if (!acknowledged) {
      std::cerr << "no acknowledgement from the broker\n";
      return 1;
    }
  } catch (const qor::Exception& e) {
    std::cerr << e.ClassName() << ": " << e.Message() << "\n";
    return 1;
  }
  return 0;
}
