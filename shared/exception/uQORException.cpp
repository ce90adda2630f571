#include "uQORException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace qor {

// Not inlined, so that the return address is the code that raised it.
[[gnu::noinline]] Exception::Exception(const std::string& AMessage, std::source_location AWhere)
    : Exception("Exception", AMessage, AWhere, __builtin_return_address(0)) {}

[[gnu::noinline]] ESocketError::ESocketError(const std::string& AMessage, std::source_location AWhere)
    : Exception("ESocketError", AMessage, AWhere, __builtin_return_address(0)) {}

TErrorDescription DescribeError(std::exception_ptr AError) {
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
