#include "TestRegistry.h"

#include "TestResult.h"

namespace qor {

int TTestSuite::CountTestCases() const {
  int n = 0;
  for (const TTest* t : FTests) n += t->CountTestCases();
  return n;
}

void TTestSuite::Run(TTestResult& AResult) {
  AResult.StartTestSuite(*this);
  for (TTest* t : FTests) t->Run(AResult);
  AResult.EndTestSuite(*this);
}

void TTestSuite::CollectChecks(std::vector<TTestCheck*>& AChecks) {
  for (TTest* t : FTests) t->CollectChecks(AChecks);
}

TTest& TTestSuite::AddOwned(std::unique_ptr<TTest> ATest) {
  TTest& ref = *ATest;
  FOwned.push_back(std::move(ATest));
  FTests.push_back(&ref);
  return ref;
}

TTest* TTestSuite::FindTest(const std::string& AName) {
  const auto dot = AName.find('.');
  if (dot != std::string::npos) {
    const std::string head = AName.substr(0, dot);
    for (TTest* t : FTests) {
      if (t->Name() != head) continue;
      auto* suite = dynamic_cast<TTestSuite*>(t);
      return suite ? suite->FindTest(AName.substr(dot + 1)) : nullptr;
    }
  }
  for (TTest* t : FTests) {
    if (t->Name() == AName) return t;
    if (auto* suite = dynamic_cast<TTestSuite*>(t)) {
      if (TTest* found = suite->FindTest(AName)) return found;
    }
  }
  return nullptr;
}

void TTestCheck::Run(TTestResult& AResult) { AResult.RunCheck(*this); }

TTestSuite& GetTestRegistry() {
  static TTestSuite root("");
  return root;
}

}  // namespace qor
