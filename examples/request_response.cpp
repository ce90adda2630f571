// qor_request_response: request/response over MQTT 5.0. A responder
// answers every request on a topic; a requester asks once, naming where the
// answer should go (Response Topic) and which question it answers
// (Correlation Data), and waits for it.
//
//   qor_request_response serve TOPIC [HOST [PORT]]          answers "re: <question>" until Ctrl-C
//   qor_request_response ask TOPIC QUESTION [HOST [PORT]]   prints the answer; exit 1 after 5 s without
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "uQORMQTTClient.h"

namespace {

std::atomic<bool> gStop{false};

void Aim(qor::TQORMQTTClient& AClient, int argc, char** argv, int AHostArg, const char* ARole) {
  AClient.BrokerHostName = argc > AHostArg ? argv[AHostArg] : "127.0.0.1";
  AClient.BrokerPort = argc > AHostArg + 1 ? std::atoi(argv[AHostArg + 1]) : 1883;
  AClient.UseSSL = false;
  AClient.ClientID = std::string("qor-") + ARole + "-" + std::to_string(getpid());
}

int Serve(int argc, char** argv) {
  const std::string topic = argv[2];
  qor::TQORMQTTClient client;
  Aim(client, argc, argv, 3, "responder");
  // Runs on the client's reader thread; publishing from it is allowed.
  client.OnMessageReceived = [&](const qor::TQORMQTTMessage& request) {
    if (!request.ResponseTopic) return;  // nobody to answer
    qor::TQORMQTTMessage answer;
    answer.Topic = *request.ResponseTopic;
    answer.Payload = "re: " + request.Payload;
    answer.QoS = qor::mqQoS1;
    answer.CorrelationData = request.CorrelationData;  // tells the requester which question this answers
    answer.ContentType = "text/plain";
    client.Publish(answer);
  };
  std::signal(SIGINT, [](int) { gStop = true; });
  std::signal(SIGTERM, [](int) { gStop = true; });
  client.Connect();
  if (!client.SubscribeAsync(topic, qor::mqQoS1).Get().Succeeded()) {
    std::cerr << "the broker refused the subscription\n";
    return 1;
  }
  std::cout << "serving " << topic << std::endl;
  while (!gStop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.Disconnect();
  return 0;
}

int Ask(int argc, char** argv) {
  const std::string topic = argv[2];
  qor::TQORMQTTClient client;
  Aim(client, argc, argv, 4, "requester");
  const std::string replyTopic = "replies/" + client.ClientID;
  const qor::TBytes correlation{'q', 0, static_cast<uint8_t>(getpid() & 0xFF)};
  std::promise<std::string> answered;
  std::atomic<bool> once{false};
  client.OnMessageReceived = [&](const qor::TQORMQTTMessage& reply) {
    if (reply.CorrelationData == correlation && !once.exchange(true)) answered.set_value(reply.Payload);
  };
  // The question goes once the broker has the reply subscription: an answer
  // cannot overtake it.
  client.Connect();
  const qor::TQORMQTTHandle subscribed = client.SubscribeAsync(replyTopic, qor::mqQoS1);
  if (!subscribed.Wait(std::chrono::seconds(5)) || !subscribed.Get().Succeeded()) {
    std::cerr << "no subscription for the answer within 5 s\n";
    return 1;
  }
  qor::TQORMQTTMessage request;
  request.Topic = topic;
  request.Payload = argv[3];
  request.QoS = qor::mqQoS1;
  request.ResponseTopic = replyTopic;
  request.CorrelationData = correlation;
  request.MessageExpiryInterval = 5;  // a question nobody answers in time is dropped by the broker
  // The handle says whether the broker took the question (a PUBACK of 0x10,
  // "no matching subscribers", means nobody serves the topic).
  const qor::TQORMQTTHandle question = client.PublishAsync(request);
  const qor::TQORMQTTResult asked = question.Wait(std::chrono::seconds(5)) ? question.Get() : qor::TQORMQTTResult{};
  if (!asked.Succeeded() || asked.ReasonCode == qor::mqrcNoMatchingSubscribers) {
    std::cerr << "nobody took the question (reason=$" << std::hex << int(asked.ReasonCode) << ")\n";
    client.Disconnect();
    return 1;
  }
  auto answer = answered.get_future();
  const bool ok = answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (ok) std::cout << answer.get() << std::endl;
  client.Disconnect();
  if (!ok) std::cerr << "no answer within 5 s\n";
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 3 && std::strcmp(argv[1], "serve") == 0) return Serve(argc, argv);
    if (argc >= 4 && std::strcmp(argv[1], "ask") == 0) return Ask(argc, argv);
  } catch (const qor::Exception& e) {
    std::cerr << e.ClassName() << ": " << e.Message() << "\n";
    return 1;
  }
  std::cerr << "usage: " << argv[0] << " serve TOPIC [HOST [PORT]]\n       " << argv[0]
            << " ask TOPIC QUESTION [HOST [PORT]]\n";
  return 2;
}
