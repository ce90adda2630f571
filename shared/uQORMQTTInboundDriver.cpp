#include "uQORMQTTInboundDriver.h"

#include "uQORMQTTPacketReader.h"

namespace qor {

TQORMQTTInboundDriver::TQORMQTTInboundDriver(TQORMQTTClient& AClient, uint8_t AProtocolLevel)
    : FClient(AClient) {
  FClient.FProtocolLevel = AProtocolLevel;
  // As after the user's Disconnect: a broker DISCONNECT starts no reconnect loop.
  FClient.FUserDisconnect = true;
  // No attempt is waiting to log its CONNECT first.
  FClient.FConnectSent.Set();
}

size_t TQORMQTTInboundDriver::Feed(IByteSource& ASource) {
  size_t dispatched = 0;
  TPacketReader in(ASource);
  uint8_t header;
  while (in.TryReadByte(header)) {
    try {
      FClient.Dispatch(in, header, &ASource);
    } catch (const ESocketError&) {
      break;
    }
    ++dispatched;
  }
  return dispatched;
}

}  // namespace qor
