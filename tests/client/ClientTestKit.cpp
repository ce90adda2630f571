#include "ClientTestKit.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace qor;

bool WaitUntil(const std::function<bool()>& ACondition, int AMilliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  while (!ACondition()) {
    if (std::chrono::steady_clock::now() >= deadline) return ACondition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

double CoreShareOver(std::chrono::milliseconds AWindow) {
  const auto cpuSeconds = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const double before = cpuSeconds();
  std::this_thread::sleep_for(AWindow);
  return (cpuSeconds() - before) / (static_cast<double>(AWindow.count()) / 1000.0);
}

std::string TestClock(std::chrono::system_clock::time_point AWhen) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(AWhen);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  const size_t n = std::strftime(text, sizeof text, "%H:%M:%S", &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(AWhen.time_since_epoch()).count() % 1000;
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms));
  return text;
}

TClientRecorder::TClientRecorder(TQORMQTTClient& AClient, std::string AName) : FName(std::move(AName)) {
  std::shared_ptr<TRecord> record = FRecord;
  AClient.OnLog = [record](const std::string& ALine) {
    const auto now = std::chrono::system_clock::now();
    std::lock_guard<std::mutex> guard(record->Mutex);
    record->Lines.push_back(ALine);
    record->LineTimes.push_back(now);
  };
  AClient.OnMessage = [record](const std::string& ATopic, const std::string& APayload,
                               TQORMQTTQoS AQoS) {
    const TReceived r{ATopic, APayload, AQoS};
    std::function<void(const TReceived&)> extra;
    {
      std::lock_guard<std::mutex> guard(record->Mutex);
      record->Messages.push_back(r);
      extra = record->OnMessage;
    }
    if (extra) extra(r);
  };
  AClient.OnDisconnect = [record](TQORMQTTReasonCode ACode, const std::string& AReason) {
    std::lock_guard<std::mutex> guard(record->Mutex);
    record->Disconnects.push_back({ACode, AReason});
  };
}

void PrintLogTailOnFailure(const std::string& ATitle, const std::string& APath, size_t ALines) {
  if (::testing::Test::HasFailure()) PrintLogTail(ATitle, APath, ALines);
}

void PrintLogTail(const std::string& ATitle, const std::string& APath, size_t ALines) {
  std::ifstream in(APath);
  std::deque<std::string> tail;
  for (std::string line; std::getline(in, line);) {
    tail.push_back(std::move(line));
    if (tail.size() > ALines) tail.pop_front();
  }
  std::string text = "--- " + ATitle + " (" + APath + ", last " + std::to_string(tail.size()) + " lines)\n";
  for (const auto& line : tail) text += "  " + line + "\n";
  std::fputs(text.c_str(), stdout);
}

bool PrintSharedBrokerLogOnEveryFailure(const std::string& APath) {
  class TListener : public ::testing::EmptyTestEventListener {
   public:
    explicit TListener(std::string APath) : FPath(std::move(APath)) {}
    void OnTestEnd(const ::testing::TestInfo& AInfo) override {
      if (AInfo.result()->Failed()) PrintLogTail("log of the shared broker", FPath, 150);
    }

   private:
    std::string FPath;
  };
  ::testing::UnitTest::GetInstance()->listeners().Append(new TListener(APath));
  return true;
}

TClientRecorder::~TClientRecorder() {
  if (!::testing::Test::HasFailure()) return;
  std::lock_guard<std::mutex> guard(FRecord->Mutex);
  std::string text = "--- log of " + FName + " (" +
                     std::to_string(FRecord->Messages.size()) + " messages received, " +
                     std::to_string(FRecord->Disconnects.size()) + " disconnects)\n";
  // The newest lines explain a failure; a soak's thousands of lines would bury them.
  constexpr size_t kMostLines = 300;
  const size_t from = FRecord->Lines.size() > kMostLines ? FRecord->Lines.size() - kMostLines : 0;
  if (from > 0) text += "  (" + std::to_string(from) + " earlier lines left out)\n";
  for (size_t i = from; i < FRecord->Lines.size(); ++i)
    text += "  [" + TestClock(FRecord->LineTimes[i]) + "] " + FRecord->Lines[i] + "\n";
  std::fputs(text.c_str(), stdout);
}

void TClientRecorder::SetOnMessage(std::function<void(const TReceived&)> AHandler) {
  std::lock_guard<std::mutex> guard(FRecord->Mutex);
  FRecord->OnMessage = std::move(AHandler);
}

std::vector<std::string> TClientRecorder::Lines() const {
  std::lock_guard<std::mutex> guard(FRecord->Mutex);
  return FRecord->Lines;
}

std::vector<TReceived> TClientRecorder::Messages() const {
  std::lock_guard<std::mutex> guard(FRecord->Mutex);
  return FRecord->Messages;
}

std::vector<TDisconnectSeen> TClientRecorder::Disconnects() const {
  std::lock_guard<std::mutex> guard(FRecord->Mutex);
  return FRecord->Disconnects;
}

size_t TClientRecorder::CountLines(const std::string& ALine) const {
  std::lock_guard<std::mutex> guard(FRecord->Mutex);
  size_t n = 0;
  for (const auto& l : FRecord->Lines) n += l == ALine;
  return n;
}

bool TClientRecorder::HasLine(const std::string& ALine) const { return CountLines(ALine) > 0; }

bool TClientRecorder::WaitForLine(const std::string& ALine, int AMilliseconds, bool APrefix) const {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> guard(FRecord->Mutex);
        for (const auto& l : FRecord->Lines)
          if (APrefix ? l.rfind(ALine, 0) == 0 : l == ALine) return true;
        return false;
      },
      AMilliseconds);
}

bool TClientRecorder::WaitForMessages(size_t ACount, int AMilliseconds) const {
  return WaitUntil([&] { return Messages().size() >= ACount; }, AMilliseconds);
}

bool TClientRecorder::WaitForDisconnects(size_t ACount, int AMilliseconds) const {
  return WaitUntil([&] { return Disconnects().size() >= ACount; }, AMilliseconds);
}

TFakeConnection::~TFakeConnection() { Close(); }

void TFakeConnection::Close() {
  if (FFd >= 0) {
    shutdown(FFd, SHUT_RDWR);
    close(FFd);
    FFd = -1;
  }
}

bool TFakeConnection::ReadExact(uint8_t* ABuffer, size_t ACount, int AMilliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  size_t done = 0;
  while (done < ACount) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || FFd < 0) return false;
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t n = recv(FFd, ABuffer + done, ACount - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

TBytes TFakeConnection::ReadSome(int AMilliseconds) {
  pollfd p{FFd, POLLIN, 0};
  TBytes data(65536);
  const ssize_t n = FFd >= 0 && poll(&p, 1, AMilliseconds) > 0 ? recv(FFd, data.data(), data.size(), 0) : 0;
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

TBytes TFakeConnection::ReadPacket(int AMilliseconds) {
  TBytes packet(1);
  if (!ReadExact(packet.data(), 1, AMilliseconds)) return {};
  uint32_t remaining = 0;
  uint32_t multiplier = 1;
  for (int i = 0; i < 4; ++i) {
    uint8_t b;
    if (!ReadExact(&b, 1, AMilliseconds)) return {};
    packet.push_back(b);
    remaining += (b & 0x7Fu) * multiplier;
    multiplier *= 128;
    if ((b & 0x80) == 0) break;
  }
  const size_t header = packet.size();
  packet.resize(header + remaining);
  if (remaining > 0 && !ReadExact(packet.data() + header, remaining, AMilliseconds)) return {};
  return packet;
}

void TFakeConnection::Send(const TBytes& AData) {
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t n = send(FFd, AData.data() + done, AData.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void TFakeConnection::SendInPieces(const TBytes& AData, size_t APieceSize, int APauseMs) {
  for (size_t i = 0; i < AData.size(); i += APieceSize) {
    Send(TBytes(AData.begin() + static_cast<std::ptrdiff_t>(i),
                AData.begin() + static_cast<std::ptrdiff_t>(std::min(i + APieceSize, AData.size()))));
    std::this_thread::sleep_for(std::chrono::milliseconds(APauseMs));
  }
}

bool TFakeConnection::WaitClosed(int AMilliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  uint8_t scratch[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      const ssize_t n = recv(FFd, scratch, sizeof scratch, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

TFakeBroker::TFakeBroker() {
  FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(FFd, 8) != 0)
    throw std::runtime_error("fake broker cannot listen");
  socklen_t len = sizeof addr;
  getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len);
  FPort = ntohs(addr.sin_port);
}

TFakeBroker::~TFakeBroker() { close(FFd); }

std::unique_ptr<TFakeConnection> TFakeBroker::Accept(int AMilliseconds) {
  pollfd p{FFd, POLLIN, 0};
  if (poll(&p, 1, AMilliseconds) <= 0) return nullptr;
  const int fd = accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? nullptr : std::make_unique<TFakeConnection>(fd);
}

void Aim(TQORMQTTClient& AClient, uint16_t APort, const std::string& AClientID) {
  AClient.BrokerHostName = "127.0.0.1";
  AClient.BrokerPort = APort;
  AClient.UseSSL = false;
  AClient.ClientID = AClientID;
}

TBytes Connack(uint8_t AReason, int ALevel, bool ASessionPresent) {
  const uint8_t flags = ASessionPresent ? 1 : 0;
  if (ALevel == 5) return {0x20, 0x03, flags, AReason, 0x00};
  return {0x20, 0x02, flags, AReason};
}

std::unique_ptr<TFakeConnection> ConnectToFake(TQORMQTTClient& AClient, TFakeBroker& ABroker,
                                               int ALevel) {
  auto connecting = std::async(std::launch::async, [&] { AClient.Connect(); });
  std::unique_ptr<TFakeConnection> conn = ABroker.Accept();
  EXPECT_TRUE(conn) << "the client did not connect";
  if (!conn) return nullptr;
  const TBytes connect = conn->ReadPacket();
  EXPECT_FALSE(connect.empty());
  if (!connect.empty()) {
    EXPECT_EQ(connect[0], 0x10);
  }
  conn->Send(Connack(0, ALevel));
  connecting.get();
  return conn;
}

size_t Threads() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

size_t RssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  return 0;
}
