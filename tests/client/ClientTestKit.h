// What the client tests share: bounded waits, a thread-safe record of a
// client's log lines, messages and disconnect events, and a scripted fake
// broker for what a real broker will not do on demand.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "uQORMQTTClient.h"

// Polls ACondition every 10 ms for at most AMilliseconds; its last answer.
bool WaitUntil(const std::function<bool()>& ACondition, int AMilliseconds = 5000);

// The fraction of one core this process used over AWindow (sleeping
// meanwhile): what a spinning thread would give away.
double CoreShareOver(std::chrono::milliseconds AWindow);

// The threads of this process, and its resident memory in KiB: what a test
// checks is left behind or bounded.
size_t Threads();
size_t RssKiB();

struct TReceived {
  std::string Topic;
  std::string Payload;
  qor::TQORMQTTQoS QoS;
};

struct TDisconnectSeen {
  qor::TQORMQTTReasonCode Code;
  std::string Reason;
};

// Hooks itself into a client's three events and keeps what they report.
// The record is shared with the installed handlers, so it outlives the
// recorder for as long as the client may still call them. When the test has
// failed by the time the recorder goes, it prints the client's log lines
// with their times, so that a rare failure explains itself.
class TClientRecorder {
 public:
  // AName names the client in that report (the recorder may outlive the client).
  explicit TClientRecorder(qor::TQORMQTTClient& AClient, std::string AName = "the client");
  ~TClientRecorder();
  TClientRecorder(const TClientRecorder&) = delete;
  TClientRecorder& operator=(const TClientRecorder&) = delete;

  std::vector<std::string> Lines() const;
  std::vector<TReceived> Messages() const;
  std::vector<TDisconnectSeen> Disconnects() const;
  bool HasLine(const std::string& ALine) const;
  size_t CountLines(const std::string& ALine) const;
  // Waits until a line equal to ALine (or, with APrefix, starting with it) has been logged.
  bool WaitForLine(const std::string& ALine, int AMilliseconds = 5000, bool APrefix = false) const;
  bool WaitForMessages(size_t ACount, int AMilliseconds = 5000) const;
  bool WaitForDisconnects(size_t ACount, int AMilliseconds = 5000) const;

  // Called on the reader thread after a message has been recorded.
  void SetOnMessage(std::function<void(const TReceived&)> AHandler);

 private:
  struct TRecord {
    std::mutex Mutex;
    std::vector<std::string> Lines;
    std::vector<std::chrono::system_clock::time_point> LineTimes;
    std::vector<TReceived> Messages;
    std::vector<TDisconnectSeen> Disconnects;
    std::function<void(const TReceived&)> OnMessage;
  };
  std::shared_ptr<TRecord> FRecord = std::make_shared<TRecord>();
  std::string FName;
};

// The local time as "hh:mm:ss.zzz": the client logs printed on failure carry
// it, and the brokers' logs carry the same clock (to the second).
std::string TestClock(std::chrono::system_clock::time_point AWhen);

// Prints the last ALines lines of a broker's log file; the second only when
// the running test has failed.
void PrintLogTail(const std::string& ATitle, const std::string& APath, size_t ALines);
void PrintLogTailOnFailure(const std::string& ATitle, const std::string& APath, size_t ALines = 200);
// From now on, every test of this program that fails prints the tail of the
// log of a broker that all of them share (the broker fixture's).
bool PrintSharedBrokerLogOnEveryFailure(const std::string& APath);

// One accepted connection of the fake broker; the test plays the broker's part.
class TFakeConnection {
 public:
  explicit TFakeConnection(int AFd) : FFd(AFd) {}
  ~TFakeConnection();
  TFakeConnection(const TFakeConnection&) = delete;
  TFakeConnection& operator=(const TFakeConnection&) = delete;

  // The next whole packet the client sent, or empty when none came within
  // AMilliseconds or the client closed the connection.
  qor::TBytes ReadPacket(int AMilliseconds = 5000);
  void Send(const qor::TBytes& AData);
  // Sends AData in pieces of APieceSize bytes with APauseMs between them.
  void SendInPieces(const qor::TBytes& AData, size_t APieceSize, int APauseMs);
  // Exactly ACount bytes, whatever they are; false when they did not come within AMilliseconds.
  bool ReadBytes(uint8_t* ABuffer, size_t ACount, int AMilliseconds = 5000) {
    return ReadExact(ABuffer, ACount, AMilliseconds);
  }
  // What one read brings (a write of the client's arrives whole when small),
  // or empty when nothing came within AMilliseconds.
  qor::TBytes ReadSome(int AMilliseconds = 5000);
  // True when the client closes its side within AMilliseconds.
  bool WaitClosed(int AMilliseconds = 5000);
  void Close();

 private:
  bool ReadExact(uint8_t* ABuffer, size_t ACount, int AMilliseconds);
  int FFd;
};

class TFakeBroker {
 public:
  TFakeBroker();
  ~TFakeBroker();
  uint16_t Port() const { return FPort; }
  // The next connection, or nullptr when none came within AMilliseconds.
  std::unique_ptr<TFakeConnection> Accept(int AMilliseconds = 5000);

 private:
  int FFd;
  uint16_t FPort;
};

// Sets a client up for 127.0.0.1:APort without TLS.
void Aim(qor::TQORMQTTClient& AClient, uint16_t APort, const std::string& AClientID);

// The CONNACK a broker sends: at level 5 with an empty property block.
qor::TBytes Connack(uint8_t AReason, int ALevel = 5, bool ASessionPresent = false);

// Runs AClient.Connect() on another thread while the fake broker accepts,
// checks the CONNECT and answers with a CONNACK of reason 0.
std::unique_ptr<TFakeConnection> ConnectToFake(qor::TQORMQTTClient& AClient, TFakeBroker& ABroker,
                                               int ALevel = 5);

// A test with a fake broker and a client aimed at it, whose events are recorded.
class FakeBrokerTest : public ::testing::Test {
 protected:
  TFakeBroker Broker;
  qor::TQORMQTTClient Client;
  TClientRecorder Recorder{Client};

  void SetUp() override { Aim(Client, Broker.Port(), "fake-client"); }
};
