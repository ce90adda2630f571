// The general error class of QOR: a class name and a message, plus where it
// was raised. Public operations of the library raise it (or a class derived
// from it); the test runner reports the class name and location it carries.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <source_location>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace qor {

class Exception : public std::runtime_error {
 public:
  // Not inlined, so that the return address is the code that raised it.
  [[gnu::noinline]] explicit Exception(
      const std::string& AMessage, std::source_location AWhere = std::source_location::current())
      : Exception("Exception", AMessage, AWhere, __builtin_return_address(0)) {}

  const std::string& ClassName() const noexcept { return FClassName; }
  std::string Message() const { return what(); }
  const std::source_location& Where() const noexcept { return FWhere; }
  const void* Address() const noexcept { return FAddress; }

 protected:
  // Derived classes pass their own name, so reports say what was raised
  // without relying on the compiler's mangled type names.
  Exception(std::string AClassName, const std::string& AMessage, std::source_location AWhere,
            const void* AAddress)
      : std::runtime_error(AMessage),
        FClassName(std::move(AClassName)),
        FWhere(AWhere),
        FAddress(AAddress) {}

 private:
  std::string FClassName;
  std::source_location FWhere;
  const void* FAddress;
};

// Declares a class derived from qor::Exception whose ClassName() is its own name.
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

// Errors of the byte stream to the broker.
QOR_DECLARE_EXCEPTION(ESocketError, Exception);

// The class name and message of any raised error: ClassName() for QOR's
// own, the demangled type for other C++ exceptions, "<NIL>" for anything else.
struct TErrorDescription {
  std::string ClassName;
  std::string Message;
};

inline TErrorDescription DescribeError(std::exception_ptr AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  } catch (const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), &std::free);
    return {status == 0 && name ? name.get() : typeid(e).name(), e.what()};
  } catch (...) {
    return {"<NIL>", "unknown exception"};
  }
}

}  // namespace qor
