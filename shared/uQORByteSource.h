// Where the client's inbound parser gets its bytes: the broker stream in
// production, an in-memory buffer in tests and fuzzing.
#pragma once

#include <cstdint>

namespace qor {

class IByteSource {
 public:
  virtual ~IByteSource() = default;
  // Up to ACount bytes into ABuffer: the number delivered (1 to ACount), or
  // 0 or less when nothing came (end of stream, time-out, error). Never raises.
  virtual int Read(uint8_t* ABuffer, int ACount) = 0;
};

}  // namespace qor
