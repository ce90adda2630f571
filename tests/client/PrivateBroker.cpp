#include "PrivateBroker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

bool PortAnswers(uint16_t APort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(APort);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

TPrivateBroker::TPrivateBroker(uint16_t APort, const std::string& AExtraConfig) : FPort(APort) {
  char name[] = "/tmp/qor-private-broker-XXXXXX";
  FDir = mkdtemp(name);
  std::ofstream(FDir + "/mosquitto.conf") << "listener " << APort << " 127.0.0.1\n"
                                          << "allow_anonymous true\n"
                                          << "persistence false\n"
                                          << "log_dest none\n"
                                          << AExtraConfig;
  std::filesystem::permissions(FDir, std::filesystem::perms::all);
}

TPrivateBroker::~TPrivateBroker() {
  Kill();
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

bool TPrivateBroker::Start() {
  const std::string conf = FDir + "/mosquitto.conf";
  std::vector<char*> argv{const_cast<char*>("mosquitto"), const_cast<char*>("-c"),
                          const_cast<char*>(conf.c_str()), nullptr};
  if (posix_spawnp(&FPid, "mosquitto", nullptr, nullptr, argv.data(), environ) != 0) {
    FPid = -1;
    return false;
  }
  for (int i = 0; i < 100; ++i) {
    if (PortAnswers(FPort)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void TPrivateBroker::Kill() {
  if (FPid <= 0) return;
  kill(FPid, SIGKILL);
  waitpid(FPid, nullptr, 0);
  FPid = -1;
}
