// Runs a client's inbound dispatch on bytes from any source, without a
// socket and without the reader thread: for tests and fuzzing. The client
// behaves as its reader would make it, except that it never starts a
// reconnect loop and has no stream to answer on (acknowledgements are
// dropped, as on a link that is gone).
#pragma once

#include <cstddef>
#include <cstdint>

#include "uQORByteSource.h"
#include "uQORMQTTClient.h"

namespace qor {

class TQORMQTTInboundDriver {
 public:
  // AProtocolLevel: 5 or 4, the level the packets are parsed at.
  TQORMQTTInboundDriver(TQORMQTTClient& AClient, uint8_t AProtocolLevel);

  // Dispatches packets from ASource until it runs dry or a packet cannot be
  // read whole (where the reader thread would report a lost link). Errors
  // raised by the client's event handlers pass through. Returns the number of
  // packets dispatched completely.
  size_t Feed(IByteSource& ASource);

 private:
  TQORMQTTClient& FClient;
};

}  // namespace qor
