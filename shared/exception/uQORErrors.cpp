#include "uQORErrors.h"

#include <utility>

namespace qor {

// Not inlined, so that the return address is the code that raised it.
[[gnu::noinline]] ENotConnected::ENotConnected(const std::string& AMessage, std::source_location AWhere)
    : Exception("ENotConnected", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] ETimeout::ETimeout(const std::string& AMessage, std::source_location AWhere)
    : Exception("ETimeout", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] EInvalidArgument::EInvalidArgument(std::string AField, const std::string& AMessage,
                                                     std::source_location AWhere)
    : Exception("EInvalidArgument", AMessage, AWhere, __builtin_return_address(0)), FField(std::move(AField)) {}

[[gnu::noinline]] EQueueFull::EQueueFull(size_t ALimit, const std::string& AMessage, std::source_location AWhere)
    : Exception("EQueueFull", AMessage, AWhere, __builtin_return_address(0)), FLimit(ALimit) {}

[[gnu::noinline]] ETLSError::ETLSError(const std::string& AMessage, std::source_location AWhere)
    : ESocketError("ETLSError", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] EResolveError::EResolveError(const std::string& AMessage, std::source_location AWhere)
    : ESocketError("EResolveError", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] EMalformedPacket::EMalformedPacket(const std::string& AMessage, std::source_location AWhere)
    : ESocketError("EMalformedPacket", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] EPacketTooLarge::EPacketTooLarge(const std::string& AMessage, std::source_location AWhere)
    : EMalformedPacket("EPacketTooLarge", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] EProtocolError::EProtocolError(uint8_t AReasonCode, const std::string& AMessage,
                                                 std::source_location AWhere)
    : EMalformedPacket("EProtocolError", AMessage, AWhere, __builtin_return_address(0)), FReasonCode(AReasonCode) {}

[[gnu::noinline]] ETruncatedPacket::ETruncatedPacket(const std::string& AMessage, std::source_location AWhere)
    : ESocketError("ETruncatedPacket", AMessage, AWhere, __builtin_return_address(0)) {}

}  // namespace qor
