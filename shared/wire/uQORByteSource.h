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

#include <algorithm>
#include <cstring>
#include <vector>

namespace qor {

// Bytes held in memory, delivered at most AChunk at a time (as a socket
// might), then nothing: the end of the stream.
class TMemoryByteSource : public IByteSource {
 public:
  explicit TMemoryByteSource(std::vector<uint8_t> AData, int AChunk = 1 << 30)
      : FData(std::move(AData)), FChunk(std::max(AChunk, 1)) {}

  int Read(uint8_t* ABuffer, int ACount) override {
    const size_t n = std::min({static_cast<size_t>(std::max(ACount, 0)), FData.size() - FPos,
                               static_cast<size_t>(FChunk)});
    if (n > 0) std::memcpy(ABuffer, FData.data() + FPos, n);
    FPos += n;
    return static_cast<int>(n);
  }
  size_t Position() const { return FPos; }

 private:
  std::vector<uint8_t> FData;
  int FChunk;
  size_t FPos = 0;
};

}  // namespace qor
