#include "PrivateBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "ClientTestKit.h"

extern char** environ;

namespace {

// Connects (or binds) a fresh TCP socket to 127.0.0.1:APort; whether that worked.
bool TryLoopback(uint16_t APort, bool ABind) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(APort);
  const auto* a = reinterpret_cast<sockaddr*>(&addr);
  const bool ok = (ABind ? bind(fd, a, sizeof addr) : connect(fd, a, sizeof addr)) == 0;
  close(fd);
  return ok;
}

// A port below the ephemeral range (where outgoing connections take theirs,
// and could take this one while the broker is down) that nothing listens on.
uint16_t FreePort() {
  static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 7919u};
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto port = static_cast<uint16_t>(20000 + next++ % 12000);
    if (TryLoopback(port, true)) return port;
  }
  throw std::runtime_error("no free port for a private broker");
}

}  // namespace

size_t CountOf(const std::string& AText, const std::string& APart) {
  size_t n = 0;
  for (size_t p = AText.find(APart); p != std::string::npos; p = AText.find(APart, p + 1)) ++n;
  return n;
}

std::string ReadFile(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// AText with every "%PORT%" replaced by APort and every "%DIR%" by ADir.
std::string WithPortAndDir(std::string AText, uint16_t APort, const std::string& ADir) {
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"%PORT%", std::to_string(APort)}, {"%DIR%", ADir}})
    for (size_t at = AText.find(name); at != std::string::npos; at = AText.find(name, at + value.size()))
      AText.replace(at, name.size(), value);
  return AText;
}

bool PortAnswers(uint16_t APort) { return TryLoopback(APort, false); }

uint16_t FreeLoopbackPort() { return FreePort(); }

TPrivateBroker::TPrivateBroker(uint16_t APort, const std::string& AExtraConfig)
    : FPort(APort != 0 ? APort : FreePort()) {
  char name[] = "/tmp/qor-private-broker-XXXXXX";
  FDir = mkdtemp(name);
  FLog = FDir + "/mosquitto.log";
  std::ofstream(FDir + "/mosquitto.conf") << "listener " << FPort << " 127.0.0.1\n"
                                          << "allow_anonymous true\n"
                                          << "persistence false\n"
                                          // Everything, for the failure report of a test.
                                          << "log_dest stderr\nlog_type all\n"
                                          << "log_timestamp_format %H:%M:%S\n"
                                          << WithPortAndDir(AExtraConfig, FPort, FDir);
  std::filesystem::permissions(FDir, std::filesystem::perms::all);
}

TPrivateBroker::~TPrivateBroker() {
  Kill();
  PrintLogTailOnFailure("log of the private broker on port " + std::to_string(FPort), FLog);
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

bool TPrivateBroker::Start() {
  const std::string conf = FDir + "/mosquitto.conf";
  std::vector<char*> argv{const_cast<char*>("mosquitto"), const_cast<char*>("-c"),
                          const_cast<char*>(conf.c_str()), nullptr};
  // Every start of this broker logs to the same file; a start is complete
  // when this one has said it is running. Another process answering on the
  // port does not count: that broker is not the test's to kill or to trust.
  const size_t startsBefore = CountOf(ReadFile(FLog), " running");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, FLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int spawned = posix_spawnp(&FPid, "mosquitto", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    FPid = -1;
    return false;
  }
  for (int i = 0; i < 200; ++i) {
    if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
      FPid = -1;
      std::fprintf(stdout, "private broker on port %u ended at its start:\n%s", FPort, ReadFile(FLog).c_str());
      return false;
    }
    if (CountOf(ReadFile(FLog), " running") > startsBefore && PortAnswers(FPort)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

void TPrivateBroker::Stop(int ASignal) {
  if (FPid <= 0) return;
  kill(FPid, ASignal);
  // A paused broker must go on to hear a signal that ends it.
  if (ASignal != SIGKILL) kill(FPid, SIGCONT);
  waitpid(FPid, nullptr, 0);
  FPid = -1;
}
