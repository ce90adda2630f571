// What a reader does with the broker's packets, the same whether it is a
// client's reader thread or a loop of an I/O context: each packet to the
// session (publications that arrived together acknowledged together), the
// end of the stream, and a failure while reading.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "uQORMQTTConnection.h"

namespace qor {

// One packet of AStream's to the session. AMore: the next packet has
// arrived whole already, so the acknowledgements of this one may wait for it.
void TakePacket(TQORMQTTConnection& AConnection, TBrokerStream& AStream, TQORMQTTConnection::TOutput& AReader,
                uint8_t AHeader, std::string& ABody, bool AMore);

// The stream of ALink ended under its reader, not released: in an
// established session a lost link (raises ESocketError with the reason),
// during the handshake the attempt waiting for its CONNACK learns why.
void StreamEnded(TQORMQTTConnection& AConnection, const TLink& ALink);

// Called while handling what ended the link of ALink (AHeader and ABody:
// the packet being read): reported as a loss, or to the attempt waiting for
// its CONNACK. ARetire runs just before a loss is reported (the reconnect
// it asks for may need a new reader). False when the loss was reported.
bool ReadFailed(TQORMQTTConnection& AConnection, const TLink& ALink, uint8_t AHeader, const std::string& ABody,
                const std::function<void()>& ARetire);

}  // namespace qor
