// The base class of every check suite and the assertions check methods use.
// An assertion that does not hold throws EAssertionFailedError, which the
// runner records as a failure; anything else a check throws is an error.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>

#include "uQORExceptionClass.h"

namespace qor {

QOR_DECLARE_EXCEPTION(EAssertionFailedError, Exception);
// A failure the check asks to be reported but not counted against the run.
QOR_DECLARE_EXCEPTION(EIgnoredTest, EAssertionFailedError);

class TTestCase {
 public:
  using TWhere = std::source_location;

  virtual ~TTestCase() = default;

  virtual void SetUp() {}
  virtual void TearDown() {}

  static void AssertTrue(const std::string& AMessage, bool ACondition,
                         TWhere AWhere = TWhere::current());
  static void AssertFalse(const std::string& AMessage, bool ACondition,
                          TWhere AWhere = TWhere::current());
  static void AssertEquals(const std::string& AMessage, const std::string& AExpected,
                           const std::string& AActual, TWhere AWhere = TWhere::current());
  static void AssertEquals(const std::string& AMessage, int32_t AExpected, int32_t AActual,
                           TWhere AWhere = TWhere::current());
  static void AssertEquals(const std::string& AMessage, int64_t AExpected, int64_t AActual,
                           TWhere AWhere = TWhere::current());
  [[noreturn]] static void Fail(const std::string& AMessage, TWhere AWhere = TWhere::current());
  [[noreturn]] static void Ignore(const std::string& AMessage, TWhere AWhere = TWhere::current());

  // The text of a failed AssertEquals.
  static std::string ComparisonMessage(const std::string& AMessage, const std::string& AExpected,
                                       const std::string& AActual);
};

}  // namespace qor
