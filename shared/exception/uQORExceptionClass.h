// Declaring further error classes derived from qor::Exception, for the
// library's and the runner's own code; not part of the installed headers.
#pragma once

#include "uQORException.h"

// Declares a class derived from qor::Exception whose ClassName() is its own
// name. Not inlined, so that the return address is the code that raised it.
#define QOR_DECLARE_EXCEPTION(AName, ABase)                                         \
  class AName : public ABase {                                                      \
   public:                                                                          \
    [[gnu::noinline]] explicit AName(                                               \
        const std::string& AMessage,                                                \
        std::source_location AWhere = std::source_location::current())              \
        : ABase(#AName, AMessage, AWhere, __builtin_return_address(0)) {}           \
                                                                                    \
   protected:                                                                       \
    AName(std::string AClassName, const std::string& AMessage,                      \
          std::source_location AWhere, const void* AAddress)                        \
        : ABase(std::move(AClassName), AMessage, AWhere, AAddress) {}               \
  }
