// A mosquitto of a test's own, on a port of its own, that the test may kill
// and restart without disturbing the shared broker fixture.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

class TPrivateBroker {
 public:
  // APort 0: a free port of its own. AExtraConfig: further mosquitto.conf
  // lines, e.g. queue limits, where "%PORT%" stands for the port and "%DIR%"
  // for a directory of the broker's own (for its persistence file). When the test fails, the broker's log (every
  // packet in and out) is printed as it goes.
  explicit TPrivateBroker(uint16_t APort = 0, const std::string& AExtraConfig = "");
  ~TPrivateBroker();
  TPrivateBroker(const TPrivateBroker&) = delete;
  TPrivateBroker& operator=(const TPrivateBroker&) = delete;

  // Starts mosquitto and waits until it accepts connections; false when it does not.
  bool Start();
  // SIGKILL: the broker vanishes without a word to its clients.
  void Kill() { Stop(SIGKILL); }
  // Ends it with ASignal (SIGTERM: it saves its persistence file and closes
  // every connection) and waits until it has gone.
  void Stop(int ASignal);
  uint16_t Port() const { return FPort; }
  // Its log: every packet in and out, one line each.
  const std::string& LogPath() const { return FLog; }
  // For signals (SIGSTOP, SIGCONT); -1 when not running.
  pid_t Pid() const { return FPid; }

 private:
  uint16_t FPort;
  std::string FDir;
  std::string FLog;
  pid_t FPid = -1;
};

// True when something accepts TCP connections on 127.0.0.1:APort.
bool PortAnswers(uint16_t APort);
// A port below the ephemeral range that nothing on 127.0.0.1 listens on.
uint16_t FreeLoopbackPort();
// How often APart occurs in AText.
size_t CountOf(const std::string& AText, const std::string& APart);
// A whole file; empty when it cannot be read (a broker that has not logged yet).
std::string ReadFile(const std::string& APath);
