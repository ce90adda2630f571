// The tree of registered checks: suites holding suites and checks. The
// process-wide root is unnamed; each registered suite class adds one suite
// named after the class, with one check per method in registration order.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestCase.h"

namespace qor {

class TTestResult;
class TTestCheck;

class TTest {
 public:
  explicit TTest(std::string AName) : FName(std::move(AName)) {}
  virtual ~TTest() = default;
  TTest(const TTest&) = delete;
  TTest& operator=(const TTest&) = delete;

  const std::string& Name() const { return FName; }
  virtual int CountTestCases() const = 0;
  virtual void Run(TTestResult& AResult) = 0;
  // Appends every check below (or at) this node, in run order.
  virtual void CollectChecks(std::vector<TTestCheck*>& AChecks) = 0;

 private:
  std::string FName;
};

class TTestSuite : public TTest {
 public:
  using TTest::TTest;

  int CountTestCases() const override;
  void Run(TTestResult& AResult) override;
  void CollectChecks(std::vector<TTestCheck*>& AChecks) override;

  // A suite owns what it creates; a borrowed test must outlive the suite.
  TTest& AddOwned(std::unique_ptr<TTest> ATest);
  void AddBorrowed(TTest& ATest) { FTests.push_back(&ATest); }

  const std::vector<TTest*>& Tests() const { return FTests; }

  // Dotted names descend ("Suite.Check"); otherwise the whole name is
  // searched depth first. Nullptr when nothing matches.
  TTest* FindTest(const std::string& AName);

 private:
  std::vector<TTest*> FTests;
  std::vector<std::unique_ptr<TTest>> FOwned;
};

// One check: a method run on a fresh instance of its suite class.
class TTestCheck : public TTest {
 public:
  using TFactory = std::function<std::unique_ptr<TTestCase>()>;
  using TMethod = std::function<void(TTestCase&)>;

  TTestCheck(std::string ASuiteName, std::string AName, TFactory AFactory, TMethod AMethod)
      : TTest(std::move(AName)),
        FSuiteName(std::move(ASuiteName)),
        FFactory(std::move(AFactory)),
        FMethod(std::move(AMethod)) {}

  const std::string& SuiteName() const { return FSuiteName; }
  int CountTestCases() const override { return 1; }
  void Run(TTestResult& AResult) override;
  void CollectChecks(std::vector<TTestCheck*>& AChecks) override { AChecks.push_back(this); }

  std::unique_ptr<TTestCase> CreateInstance() const { return FFactory(); }
  void RunMethod(TTestCase& AInstance) const { FMethod(AInstance); }

 private:
  std::string FSuiteName;
  TFactory FFactory;
  TMethod FMethod;
};

// The unnamed root of all registered suites; lives until the process ends.
TTestSuite& GetTestRegistry();

template <class T>
struct TTestMethod {
  const char* Name;
  void (T::*Method)();
};

// Adds a suite named AName to the registry, one check per method in the order given.
template <class T>
TTestSuite& RegisterTestSuite(const std::string& AName,
                              std::initializer_list<TTestMethod<T>> AMethods) {
  auto suite = std::make_unique<TTestSuite>(AName);
  for (const auto& m : AMethods) {
    auto method = m.Method;
    suite->AddOwned(std::make_unique<TTestCheck>(
        AName, m.Name, [] { return std::unique_ptr<TTestCase>(std::make_unique<T>()); },
        [method](TTestCase& AInstance) { (static_cast<T&>(AInstance).*method)(); }));
  }
  return static_cast<TTestSuite&>(GetTestRegistry().AddOwned(std::move(suite)));
}

}  // namespace qor

// One entry of a RegisterTestSuite list: the method's name and the method.
#define QOR_TEST(AClass, AMethod) ::qor::TTestMethod<AClass>{#AMethod, &AClass::AMethod}
