// What a run costs on the wire: the TCP segments on this process's
// connections to the broker, ACKs included (each one is a wake-up and a
// pass through the broker's kernel).
#pragma once

#include <cstdint>

struct TLinkSegments {
  uint64_t ToBroker = 0;
  uint64_t FromBroker = 0;
};

// The segments so far on every TCP connection of this process whose peer
// is APort; a connection counts only while it is open.
TLinkSegments LinkSegments(uint16_t APort);
