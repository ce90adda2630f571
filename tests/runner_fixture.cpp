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

// Texts a report must carry whatever they hold: every byte value, scripts
// and symbols beyond the report fonts, combining marks, TeX's own syntax,
// invalid UTF-8 and sizes beyond what a LaTeX line or paragraph holds.
std::string HostileText(int AKind) {
  switch (AKind) {
    case 0: {
      std::string all;
      for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
      return all;
    }
    case 1: {
      std::string latin;  // U+0080 to U+017F
      for (unsigned cp = 0x80; cp < 0x180; ++cp) {
        latin += static_cast<char>(0xC0 | (cp >> 6));
        latin += static_cast<char>(0x80 | (cp & 0x3F));
      }
      return latin;
    }
    case 2: return "\\item[x] \\end{document} $$ & # % _ ^ ~ { } [ ] \\";
    case 3: return "e\xCC\x81 a\xCC\x88 \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xE2\x80\x8D \xEF\xBB\xBF";
    case 4: return "\xFF\xFE \xE4\xB8 \xC0\xAF \xED\xA0\x80 ends in a backslash \\";
    default: {
      std::string big;
      while (big.size() < (1u << 20)) big += "\xE4\xB8\xAD\xE6\x96\x87 words_and\\specials%{ ";
      return big;
    }
  }
}

class THostileTextSuite : public TTestCase {
 public:
  void TestBytes() { AssertTrue(HostileText(0), false); }
  void TestLatin() { AssertEquals("latin", std::string("abc"), HostileText(1)); }
  void TestCJK() { AssertEquals("payload", std::string("abc"), std::string("\xE4\xB8\xAD\xE6\x96\x87")); }
  void TestTeX() { throw std::runtime_error(HostileText(2)); }
  void TestMarksAndEmoji() { Fail(HostileText(3)); }
  void TestInvalid() { Ignore(HostileText(4)); }
  void TestHuge() { Fail(HostileText(5)); }
  void TestHugeIgnored() { Ignore(HostileText(5).substr(0, 100000)); }
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

  if (std::getenv("QOR_FIXTURE_HOSTILE_TEXTS")) {
    using T = THostileTextSuite;
    RegisterTestSuite<T>("THostile_\xE4\xB8\xAD[x]{y}\\", {
        {"TestBytes\xFF\x01", &T::TestBytes},      {"TestLatin_\xC3\xA4\xC3\xB0", &T::TestLatin},
        {"[TestCJK\xE4\xB8\xAD]", &T::TestCJK},    {"TestTeX%$\\", &T::TestTeX},
        {"TestMarks\xCC\x81", &T::TestMarksAndEmoji}, {"TestInvalid\xC3", &T::TestInvalid},
        {"TestHuge", &T::TestHuge},                  {"TestHugeIgnored", &T::TestHugeIgnored}});
  }
  return RunTestProgram<TTestRunner>(argc, argv, "Runner fixture");
}
