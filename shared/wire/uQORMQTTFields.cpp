#include "uQORMQTTFields.h"

#include "uQORFormat.h"

namespace qor {

uint32_t TFieldReader::VarInt(const char* AWhat) {
  TVarIntDecoder value;
  TVarIntDecoder::TStep step;
  while ((step = value.Add(Byte())) == TVarIntDecoder::More) {
  }
  if (step == TVarIntDecoder::TooLong)
    throw EMalformedPacket(Format("Malformed packet: %s %s longer than four bytes", FPacket, AWhat));
  return value.Value();
}

void TFieldReader::Malformed(const char* AWhy) const {
  throw EMalformedPacket(Format("Malformed packet: %s %s", FPacket, AWhy));
}

void TFieldReader::Short() const {
  // A block's own end bounds its fields: a property running past it is as
  // malformed as one running past the packet.
  if (FEnd < FData.size()) Malformed("with a property running past its block");
  throw EMalformedPacket(Format("Malformed packet: %s with remaining length %zu is shorter than its fields", FPacket,
                                FData.size()));
}

}  // namespace qor
