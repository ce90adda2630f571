// Running checks and telling listeners what happened. The collector runs
// each check (SetUp, method, TearDown on a fresh instance), turns whatever
// it raised into a failure record and forwards every event to its
// listeners in order: the progress writer first, the report writer second.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "TestRegistry.h"

namespace qor {

enum TTestStep { tsSetUp, tsRunTest, tsTearDown };

// What a failed, ignored or erroneous check raised, and where.
struct TTestFailure {
  std::string SuiteName;
  std::string TestName;
  std::string ExceptionClassName;  // "<NIL>" when nothing with a class was raised
  std::string RawMessage;
  TTestStep Step = tsRunTest;
  bool IsFailure = false;  // an assertion did not hold (as opposed to an error)
  bool IsIgnored = false;
  std::string SourceUnitName;  // file name without directories; empty when unknown
  int LineNumber = 0;
  std::string FailedMethodName;

  // The raw message with "[SETUP] " or "[TEARDOWN] " before it where it arose there.
  std::string ExceptionMessage() const;
  // "Suite.Check: message".
  std::string AsString() const;
  // "unit:line in method", or just the method when the source is unknown.
  std::string LocationInfo() const;

  static TTestFailure FromException(const TTestCheck& ACheck, std::exception_ptr AError,
                                    TTestStep AStep);
};

class ITestListener {
 public:
  virtual ~ITestListener() = default;
  virtual void StartTestSuite(const TTestSuite& ASuite) = 0;
  virtual void EndTestSuite(const TTestSuite& ASuite) = 0;
  virtual void StartTest(const TTestCheck& ACheck) = 0;
  virtual void AddFailure(const TTestCheck& ACheck, const TTestFailure& AFailure) = 0;
  virtual void AddError(const TTestCheck& ACheck, const TTestFailure& AError) = 0;
  virtual void EndTest(const TTestCheck& ACheck) = 0;
};

class TTestResult {
 public:
  void AddListener(ITestListener& AListener) { FListeners.push_back(&AListener); }

  void StartTestSuite(const TTestSuite& ASuite);
  void EndTestSuite(const TTestSuite& ASuite);
  void RunCheck(const TTestCheck& ACheck);

  int RunTests() const { return FRunTests; }
  int NumberOfErrors() const { return FErrors; }
  int NumberOfFailures() const { return FFailures; }
  int NumberOfIgnored() const { return FIgnored; }

 private:
  // Runs one step; false when it raised (the problem is added to AProblems).
  bool RunStep(const TTestCheck& ACheck, TTestStep AStep, const std::function<void()>& AStepBody,
               std::vector<TTestFailure>& AProblems);
  void Record(const TTestCheck& ACheck, const TTestFailure& AFailure);

  std::vector<ITestListener*> FListeners;
  int FRunTests = 0;
  int FErrors = 0;
  int FFailures = 0;  // ignored ones not included
  int FIgnored = 0;
};

}  // namespace qor
