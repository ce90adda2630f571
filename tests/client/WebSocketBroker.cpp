#include "WebSocketBroker.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "ClientTestKit.h"
#include "PrivateBroker.h"

extern char** environ;

TWebSocketBroker::TWebSocketBroker() : FWsPort(FreeLoopbackPort()), FWssPort(FreeLoopbackPort()) {
  char name[] = "/tmp/qor-wsbroker-XXXXXX";
  FDir = mkdtemp(name);
  // A CA and the wss listener's certificate for 127.0.0.1 and localhost:
  // EC keys, made in milliseconds.
  const std::string certs =
      "cd '" + FDir + "' && " +
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj '/CN=QOR test CA' "
      "-keyout ca.key -out ca.crt && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
      "-keyout good.key -out good.csr && "
      "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' >good.ext && "
      "openssl x509 -req -in good.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 -extfile good.ext "
      "-out good.crt";
  if (std::system(("(" + certs + ") >/dev/null 2>&1").c_str()) != 0) std::fprintf(stdout, "%s failed\n", certs.c_str());
}

TWebSocketBroker::~TWebSocketBroker() {
  Kill();
  PrintLogTailOnFailure(
      "log of the WebSocket broker (ws " + std::to_string(FWsPort) + ", wss " + std::to_string(FWssPort) + ")",
      LogPath());
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

bool TWebSocketBroker::Start() {
  const std::string script = std::string(WSBROKER_DIR) + "/server.js";
  if (!std::filesystem::exists(std::string(WSBROKER_DIR) + "/node_modules")) {
    std::fprintf(stdout, "%s/node_modules is missing: run scripts/install-deps --tests\n", WSBROKER_DIR);
    return false;
  }
  const std::string ws = std::to_string(FWsPort), wss = std::to_string(FWssPort);
  const std::string cert = FDir + "/good.crt", key = FDir + "/good.key";
  std::vector<char*> argv{const_cast<char*>("node"),
                          const_cast<char*>(script.c_str()),
                          const_cast<char*>(ws.c_str()),
                          const_cast<char*>(wss.c_str()),
                          const_cast<char*>(cert.c_str()),
                          const_cast<char*>(key.c_str()),
                          nullptr};
  // Each start logs to the same file; this one is ready when it has said so twice more.
  const size_t before = CountOf(ReadFile(LogPath()), "listening ");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int spawned = posix_spawnp(&FPid, "node", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    FPid = -1;
    std::fprintf(stdout, "node could not be started: run scripts/install-deps --tests\n");
    return false;
  }
  for (int i = 0; i < 400; ++i) {
    if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
      FPid = -1;
      std::fprintf(stdout, "the WebSocket broker ended at its start:\n%s", ReadFile(LogPath()).c_str());
      return false;
    }
    if (CountOf(ReadFile(LogPath()), "listening ") >= before + 2) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  std::fprintf(stdout, "the WebSocket broker did not start within 10 s:\n%s", ReadFile(LogPath()).c_str());
  return false;
}

void TWebSocketBroker::Kill() {
  if (FPid <= 0) return;
  kill(FPid, SIGKILL);
  waitpid(FPid, nullptr, 0);
  FPid = -1;
}
