// Each way a call fails raises its own class, with the message it always
// had and what a program acts on (the field refused, the limit, the
// broker's code and words), and is still caught as qor::Exception.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "ClientTestKit.h"
#include "uQORFormat.h"

using namespace qor;

namespace {

template <class T>
bool Is(std::exception_ptr AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const T&) {
    return true;
  } catch (...) {
    return false;
  }
}

// What the error carries beyond its message.
std::string Detail(const Exception& AError) {
  if (const auto* e = dynamic_cast<const EInvalidArgument*>(&AError)) return "Field " + e->Field();
  if (const auto* e = dynamic_cast<const EQueueFull*>(&AError)) return Format("Limit %zu", e->Limit());
  if (const auto* e = dynamic_cast<const EBrokerRefused*>(&AError))
    return Format("ReasonCode $%2.2X ReasonString %s", e->ReasonCode(), e->ReasonString().c_str());
  return "";
}

// Connect on another thread while the fake broker reads the CONNECT and
// answers with AAnswer (nothing when empty); raises what Connect raised.
void ConnectAnswered(TQORMQTTClient& AClient, TFakeBroker& ABroker, const TBytes& AAnswer) {
  auto connecting = std::async(std::launch::async, [&] { AClient.Connect(); });
  const auto conn = ABroker.Accept();
  ASSERT_TRUE(conn);
  conn->ReadPacket();
  if (!AAnswer.empty()) conn->Send(AAnswer);
  connecting.get();
}

struct TCase {
  const char* Name;
  std::function<void(TQORMQTTClient&, TFakeBroker&)> Act;
  std::function<bool(std::exception_ptr)> IsOfClass;
  const char* ClassName;
  bool Stream;          // also an ESocketError
  std::string Message;  // the whole message, or with Prefix its start
  bool Prefix;
  std::string Detail;
};

}  // namespace

TEST(TypedErrors, EachRefusalRaisesItsClassWithItsMessageAndWhatToActOn) {
  TQORMQTTMessage badQoS, nulContent;
  badQoS.Topic = nulContent.Topic = "t";
  badQoS.QoS = TQORMQTTQoS(3);
  nulContent.ContentType = std::string("text\0plain", 10);
  TBytes refusal{0x00, 0x87};
  TQORMQTTProperties words;
  words.ReasonString = "no";
  AppendProperties(refusal, words);
  const std::vector<TCase> cases = {
      {"not connected", [](auto& C, auto&) { C.Publish("t", "x", mqQoS1); }, Is<ENotConnected>, "ENotConnected",
       false, "MQTT client is not connected", false, ""},
      {"topic", [](auto& C, auto&) { C.OfflineQueueLimit = 5, C.Publish("a/#", "x", mqQoS0); },
       Is<EInvalidArgument>, "EInvalidArgument", false,
       "Topic name \"a/#\" contains the wildcard '#'; wildcards belong in topic filters only", false, "Field Topic"},
      {"QoS", [&](auto& C, auto&) { C.Publish(badQoS); }, Is<EInvalidArgument>, "EInvalidArgument", false,
       "QoS 3 is not 0, 1 or 2", false, "Field QoS"},
      {"property text", [&](auto& C, auto&) { C.Publish(nulContent); }, Is<EInvalidArgument>, "EInvalidArgument",
       false, "Content Type contains a NUL character, which MQTT forbids", false, "Field ContentType"},
      {"DISCONNECT reason string", [](auto& C, auto&) { C.Disconnect(mqrcSuccess, {"\xFF", std::nullopt, {}}); },
       Is<EInvalidArgument>, "EInvalidArgument", false, "Reason String is not valid UTF-8 (byte 0)", false,
       "Field ReasonString"},
      {"port", [](auto& C, auto&) { C.BrokerPort = 0, C.Connect(); }, Is<EInvalidArgument>, "EInvalidArgument",
       false, "BrokerPort is 0; it must be 1 to 65535", false, "Field BrokerPort"},
      {"will property",
       [](auto& C, auto&) {
         C.Will.emplace().Topic = "will";
         C.Will->ResponseTopic = "a/+";
         C.Connect();
       },
       Is<EInvalidArgument>, "EInvalidArgument", false,
       "Will Response Topic \"a/+\" contains the wildcard '+'; wildcards belong in topic filters only", false,
       "Field Will.ResponseTopic"},
      {"offline queue full",
       [](auto& C, auto&) {
         C.OfflineQueueLimit = 1;
         C.Publish("t", "1", mqQoS1);
         C.Publish("t", "2", mqQoS1);
       },
       Is<EQueueFull>, "EQueueFull", false, "Offline queue full (1 messages)", false, "Limit 1"},
      {"CONNACK refusal",
       [&](auto& C, auto& B) { ConnectAnswered(C, B, WrapWithFixedHeader(MQTT_CONNACK, 0, refusal)); },
       Is<EBrokerRefused>, "EBrokerRefused", false, "Broker refused connection (reason=$87) \"no\"", false,
       "ReasonCode $87 ReasonString no"},
      {"CONNACK time-out", [](auto& C, auto& B) { C.ConnectTimeoutSecs = 1, ConnectAnswered(C, B, {}); },
       Is<ETimeout>, "ETimeout", false, "Timeout waiting for CONNACK", false, ""},
      {"TLS trust store",
       [](auto& C, auto&) {
         C.UseSSL = true, C.VerifyPeer = true, C.CAFile = "/no/such/ca.pem";
         C.Connect();
       },
       Is<ETLSError>, "ETLSError", true, "Cannot load trusted certificates \"/no/such/ca.pem\": ", true, ""},
      {"host name", [](auto& C, auto&) {
         C.BrokerHostName = "no-such-host.invalid", C.ConnectTimeoutSecs = 2;
         C.Connect();
       },
       Is<EResolveError>, "EResolveError", true, "Cannot resolve host \"no-such-host.invalid\": ", true, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeBroker broker;
    TQORMQTTClient client;
    Aim(client, broker.Port(), "typed-errors");
    TClientRecorder recorder(client, c.Name);
    std::exception_ptr raised;
    try {
      c.Act(client, broker);
      ADD_FAILURE() << "nothing raised";
    } catch (const Exception& e) {
      raised = std::current_exception();
      EXPECT_EQ(e.ClassName(), c.ClassName);
      EXPECT_EQ(c.Prefix ? e.Message().substr(0, c.Message.size()) : e.Message(), c.Message) << e.Message();
      EXPECT_EQ(Detail(e), c.Detail);
      // Where the library raised it, not inside the error class.
      EXPECT_EQ(std::string(e.Where().file_name()).find("Errors.cpp"), std::string::npos) << e.Where().file_name();
    }
    if (!raised) continue;
    EXPECT_TRUE(c.IsOfClass(raised));
    EXPECT_EQ(Is<ESocketError>(raised), c.Stream);
    EXPECT_EQ(client.ConnectionStatus(), mqDisconnected);
  }
}
