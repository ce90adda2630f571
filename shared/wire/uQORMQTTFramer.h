// Cuts the byte stream from the broker into packets: the first byte and a
// body of exactly the length the packet declares. Nothing is read ahead of
// the packet, and memory follows what arrives, not what the peer declared.
#pragma once

#include <cstdint>
#include <string>

#include "uQORByteSource.h"
#include "uQORExceptionClass.h"

namespace qor {

// A packet that breaks the rules of its layout: its fields run past its
// remaining length, or the remaining length itself is longer than four bytes.
QOR_DECLARE_EXCEPTION(EMalformedPacket, ESocketError);

// A packet larger than the client said it accepts (its Maximum Packet Size).
QOR_DECLARE_EXCEPTION(EPacketTooLarge, EMalformedPacket);

// A packet whose layout is sound but which MQTT forbids the broker to send
// (a PUBLISH before the CONNACK, a second CONNACK, a topic alias the client
// never allowed, more QoS 2 messages than the client's Receive Maximum):
// the link ends with MQTT's reason code, sent to the broker at level 5 and
// reported to the caller, so that a faulty broker is told from a lost network.
class EProtocolError : public EMalformedPacket {
 public:
  [[gnu::noinline]] EProtocolError(uint8_t AReasonCode, const std::string& AMessage,
                                   std::source_location AWhere = std::source_location::current())
      : EMalformedPacket("EProtocolError", AMessage, AWhere, __builtin_return_address(0)),
        FReasonCode(AReasonCode) {}
  uint8_t ReasonCode() const { return FReasonCode; }

 private:
  uint8_t FReasonCode;
};

class TPacketFramer {
 public:
  // AMaxPacketSize: the largest whole packet taken; 0: no limit but the
  // protocol's. A larger one raises EPacketTooLarge before its body is read.
  explicit TPacketFramer(IByteSource& ASource, uint32_t AMaxPacketSize = 0)
      : FSource(ASource), FMaxPacketSize(AMaxPacketSize) {}

  // The next packet. False when the source delivered nothing where a packet
  // would begin (end of stream, idle time-out). Raises EMalformedPacket for a
  // remaining length of more than four bytes, and ETruncatedPacket when the
  // source ends inside a packet; ABody then holds what did arrive of it.
  bool Next(uint8_t& AHeader, std::string& ABody);

 private:
  uint8_t ReadByte();

  IByteSource& FSource;
  uint32_t FMaxPacketSize;
};

// The stream ended inside a packet; the message is set by whoever knows the
// packet's layout (see TQORMQTTSession::DescribeTruncated).
QOR_DECLARE_EXCEPTION(ETruncatedPacket, ESocketError);

}  // namespace qor
