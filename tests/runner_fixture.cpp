// A runner with suites that pass, fail, raise and ignore on purpose. The
// runner's tests start it as a child process and read what it prints,
// writes and exits with. Lines starting "#" on standard output report what
// the checks themselves did.
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "TestRegistry.h"
#include "TestRunner.h"

using namespace qor;

namespace {

class TPassingSuite : public TTestCase {
 public:
  int FCalls = 0;
  // Each check gets a fresh instance: a shared one would count 2 here.
  void TestOne() { AssertEquals("fresh instance", 1, ++FCalls); }
  void TestTwo() { AssertEquals("fresh instance", 1, ++FCalls); }
};

class TFailingSuite : public TTestCase {
 public:
  void TestAssertTrue() { AssertTrue("a <b> & \"c\" 'd'\x01 e_f {g} $h% #i ~j ^k \\l", false); }
  void TestAssertEquals() { AssertEquals("Greeting", std::string("hello"), std::string("world")); }
  void TestPasses() {}
  void TearDown() override { std::cout << "#teardown TFailingSuite" << std::endl; }
};

class TErrorSuite : public TTestCase {
 public:
  void TestRaisesQorException() { throw Exception("boom"); }
  void TestRaisesStdException() { throw std::runtime_error("std boom"); }
  void TestPasses() {}
};

class TIgnoredSuite : public TTestCase {
 public:
  void TestIgnored() { Ignore("not on this machine"); }
  void TestPasses() {}
};

class TSetUpErrorSuite : public TTestCase {
 public:
  void SetUp() override { throw Exception("no broker"); }
  void TestNeverRuns() { std::cout << "#method TSetUpErrorSuite" << std::endl; }
  void TearDown() override { std::cout << "#teardown TSetUpErrorSuite" << std::endl; }
};

class TTearDownErrorSuite : public TTestCase {
 public:
  void TestPassesThenTearDownFails() {}
  void TestFailsThenTearDownFails() { Fail("first problem"); }
  void TearDown() override { Fail("cleanup failed"); }
};

}  // namespace

int main(int argc, char** argv) {
  RegisterTestSuite<TPassingSuite>(
      "TPassingSuite", {QOR_TEST(TPassingSuite, TestOne), QOR_TEST(TPassingSuite, TestTwo)});
  // For tests of the command line: a registry whose "all" passes quietly.
  if (std::getenv("QOR_FIXTURE_PASSING_ONLY")) return RunTestProgram<TTestRunner>(argc, argv, "Runner fixture");
  RegisterTestSuite<TFailingSuite>("TFailingSuite", {QOR_TEST(TFailingSuite, TestAssertTrue),
                                                     QOR_TEST(TFailingSuite, TestAssertEquals),
                                                     QOR_TEST(TFailingSuite, TestPasses)});
  RegisterTestSuite<TErrorSuite>("TErrorSuite", {QOR_TEST(TErrorSuite, TestRaisesQorException),
                                                 QOR_TEST(TErrorSuite, TestRaisesStdException),
                                                 QOR_TEST(TErrorSuite, TestPasses)});
  RegisterTestSuite<TIgnoredSuite>(
      "TIgnoredSuite", {QOR_TEST(TIgnoredSuite, TestIgnored), QOR_TEST(TIgnoredSuite, TestPasses)});
  RegisterTestSuite<TSetUpErrorSuite>("TSetUpErrorSuite",
                                      {QOR_TEST(TSetUpErrorSuite, TestNeverRuns)});
  RegisterTestSuite<TTearDownErrorSuite>(
      "TTearDownErrorSuite", {QOR_TEST(TTearDownErrorSuite, TestPassesThenTearDownFails),
                              QOR_TEST(TTearDownErrorSuite, TestFailsThenTearDownFails)});

  return RunTestProgram<TTestRunner>(argc, argv, "Runner fixture");
}
