// The general error class of QOR: a class name and a message, plus where it
// was raised. Public operations of the library raise it (or a class derived
// from it); the test runner reports the class name and location it carries.
#pragma once

#include <exception>
#include <source_location>
#include <stdexcept>
#include <string>

namespace qor {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& AMessage, std::source_location AWhere = std::source_location::current());

  const std::string& ClassName() const noexcept { return FClassName; }
  std::string Message() const { return what(); }
  const std::source_location& Where() const noexcept { return FWhere; }
  // The code address that raised it.
  const void* Address() const noexcept { return FAddress; }

 protected:
  // Derived classes pass their own name, so reports say what was raised
  // without relying on the compiler's mangled type names.
  Exception(std::string AClassName, const std::string& AMessage, std::source_location AWhere,
            const void* AAddress)
      : std::runtime_error(AMessage), FClassName(std::move(AClassName)), FWhere(AWhere), FAddress(AAddress) {}

 private:
  std::string FClassName;
  std::source_location FWhere;
  const void* FAddress;
};

// Errors of the byte stream to the broker.
class ESocketError : public Exception {
 public:
  explicit ESocketError(const std::string& AMessage,
                        std::source_location AWhere = std::source_location::current());

 protected:
  ESocketError(std::string AClassName, const std::string& AMessage, std::source_location AWhere,
               const void* AAddress)
      : Exception(std::move(AClassName), AMessage, AWhere, AAddress) {}
};

// The class name and message of any raised error: ClassName() for QOR's
// own, the demangled type for other C++ exceptions, "<NIL>" for anything else.
struct TErrorDescription {
  std::string ClassName;
  std::string Message;
};

TErrorDescription DescribeError(std::exception_ptr AError);

}  // namespace qor
