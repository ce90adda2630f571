// The general error class of QOR: a class name and a message, plus where it
// was raised. Public operations of the library raise it (or a class derived
// from it); the test runner reports the class name and location it carries.
#pragma once

// The library's headers are C++20 (std::source_location, defaulted
// comparisons); a consumer may compile with any later standard.
#if __cplusplus < 202002L
#error "QOR MQTT's headers need C++20 or later (for example -std=c++20)"
#endif

#include <exception>
#include <source_location>
#include <stdexcept>
#include <string>

namespace qor {

/// The general error of QOR: its message, the class name reports show, and
/// where it was raised.
class Exception : public std::runtime_error {
 public:
  /// An error with AMessage, raised at AWhere.
  explicit Exception(const std::string& AMessage, std::source_location AWhere = std::source_location::current());

  const std::string& ClassName() const noexcept { return FClassName; }  ///< "Exception", "ESocketError", ...
  std::string Message() const { return what(); }                       ///< the whole message
  const std::source_location& Where() const noexcept { return FWhere; }  ///< the source line that raised it
  /// The code address that raised it.
  const void* Address() const noexcept { return FAddress; }

 protected:
  /// Derived classes pass their own name, so reports say what was raised
  /// without relying on the compiler's mangled type names.
  Exception(std::string AClassName, const std::string& AMessage, std::source_location AWhere,
            const void* AAddress)
      : std::runtime_error(AMessage), FClassName(std::move(AClassName)), FWhere(AWhere), FAddress(AAddress) {}

 private:
  std::string FClassName;
  std::source_location FWhere;
  const void* FAddress;
};

/// Errors of the byte stream to the broker.
class ESocketError : public Exception {
 public:
  /// A stream error with AMessage, raised at AWhere.
  explicit ESocketError(const std::string& AMessage,
                        std::source_location AWhere = std::source_location::current());

 protected:
  /// For classes derived from it, with their own name.
  ESocketError(std::string AClassName, const std::string& AMessage, std::source_location AWhere,
               const void* AAddress)
      : Exception(std::move(AClassName), AMessage, AWhere, AAddress) {}
};

/// The class name and message of any raised error: ClassName() for QOR's
/// own, the demangled type for other C++ exceptions, "<NIL>" for anything else.
struct TErrorDescription {
  std::string ClassName;  ///< the error's class name
  std::string Message;    ///< its message
};

TErrorDescription DescribeError(std::exception_ptr AError);

}  // namespace qor
