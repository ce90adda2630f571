// An MQTT broker over WebSockets of a test's own: aedes (MQTT 3.1.1) under
// node (tests/wsbroker/server.js), ws:// on one free port and wss:// (the
// test CA's "good" certificate) on another, both serving the path /mqtt.
// When the test fails, its log is printed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class TWebSocketBroker {
 public:
  TWebSocketBroker();
  ~TWebSocketBroker();
  TWebSocketBroker(const TWebSocketBroker&) = delete;
  TWebSocketBroker& operator=(const TWebSocketBroker&) = delete;

  // Starts it (again, on the same ports) and waits until both listeners
  // answer; false, with why on stdout, when it does not.
  bool Start();
  // SIGKILL: the broker vanishes without a word to its clients.
  void Kill();
  uint16_t WsPort() const { return FWsPort; }
  uint16_t WssPort() const { return FWssPort; }
  // The CA that signed the wss listener's certificate (for 127.0.0.1 and localhost).
  std::string CAFile() const { return FDir + "/ca.crt"; }
  std::string LogPath() const { return FDir + "/wsbroker.log"; }

 private:
  std::string FDir;
  uint16_t FWsPort;
  uint16_t FWssPort;
  pid_t FPid = -1;
};
