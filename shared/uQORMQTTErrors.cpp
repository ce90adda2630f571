#include "uQORMQTTErrors.h"

#include <utility>

namespace qor {

// Not inlined, so that the return address is the code that raised it.
[[gnu::noinline]] EBrokerRefused::EBrokerRefused(TQORMQTTReasonCode AReasonCode, std::string AReasonString,
                                                 const std::string& AMessage, std::source_location AWhere)
    : Exception("EBrokerRefused", AMessage, AWhere, __builtin_return_address(0)),
      FReasonCode(AReasonCode),
      FReasonString(std::move(AReasonString)) {}

}  // namespace qor
