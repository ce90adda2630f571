// A mosquitto of a test's own, on a port of its own, that the test may kill
// and restart without disturbing the shared broker fixture.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class TPrivateBroker {
 public:
  // AExtraConfig: further mosquitto.conf lines, e.g. queue limits.
  explicit TPrivateBroker(uint16_t APort, const std::string& AExtraConfig = "");
  ~TPrivateBroker();
  TPrivateBroker(const TPrivateBroker&) = delete;
  TPrivateBroker& operator=(const TPrivateBroker&) = delete;

  // Starts mosquitto and waits until it accepts connections; false when it does not.
  bool Start();
  // SIGKILL: the broker vanishes without a word to its clients.
  void Kill();
  uint16_t Port() const { return FPort; }
  // For signals (SIGSTOP, SIGCONT); -1 when not running.
  pid_t Pid() const { return FPid; }

 private:
  uint16_t FPort;
  std::string FDir;
  pid_t FPid = -1;
};

// True when something accepts TCP connections on 127.0.0.1:APort.
bool PortAnswers(uint16_t APort);
