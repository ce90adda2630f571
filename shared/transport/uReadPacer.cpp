#include "uReadPacer.h"

#include <algorithm>

namespace qor {

void TReadPacer::Received(int64_t ANowNs) {
  const bool requested = FRequested.exchange(false, std::memory_order_relaxed);
  if (requested || ANowNs - FLastNs > kStreamGapNs) FReads = 0;
  FReads = std::min(FReads + 1, kStreamReads);
  FLastNs = ANowNs;
}

}  // namespace qor
