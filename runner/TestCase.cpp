#include "TestCase.h"

namespace qor {

void TTestCase::AssertTrue(const std::string& AMessage, bool ACondition, TWhere AWhere) {
  if (!ACondition) Fail(AMessage, AWhere);
}

void TTestCase::AssertFalse(const std::string& AMessage, bool ACondition, TWhere AWhere) {
  if (ACondition) Fail(AMessage, AWhere);
}

void TTestCase::AssertEquals(const std::string& AMessage, const std::string& AExpected,
                             const std::string& AActual, TWhere AWhere) {
  if (AExpected != AActual) Fail(ComparisonMessage(AMessage, AExpected, AActual), AWhere);
}

void TTestCase::AssertEquals(const std::string& AMessage, int32_t AExpected, int32_t AActual,
                             TWhere AWhere) {
  if (AExpected != AActual)
    Fail(ComparisonMessage(AMessage, std::to_string(AExpected), std::to_string(AActual)), AWhere);
}

void TTestCase::AssertEquals(const std::string& AMessage, int64_t AExpected, int64_t AActual,
                             TWhere AWhere) {
  if (AExpected != AActual)
    Fail(ComparisonMessage(AMessage, std::to_string(AExpected), std::to_string(AActual)), AWhere);
}

void TTestCase::Fail(const std::string& AMessage, TWhere AWhere) {
  throw EAssertionFailedError(AMessage, AWhere);
}

void TTestCase::Ignore(const std::string& AMessage, TWhere AWhere) {
  throw EIgnoredTest(AMessage, AWhere);
}

std::string TTestCase::ComparisonMessage(const std::string& AMessage, const std::string& AExpected,
                                         const std::string& AActual) {
  return "\"" + AMessage + "\" expected: <" + AExpected + "> but was: <" + AActual + ">";
}

}  // namespace qor
