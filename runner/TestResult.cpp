#include "TestResult.h"

#include <filesystem>

namespace qor {

std::string TTestFailure::ExceptionMessage() const {
  switch (Step) {
    case tsSetUp:
      return "[SETUP] " + RawMessage;
    case tsTearDown:
      return "[TEARDOWN] " + RawMessage;
    default:
      return RawMessage;
  }
}

std::string TTestFailure::AsString() const {
  return (SuiteName.empty() ? "" : SuiteName + ".") + TestName + ": " + RawMessage;
}

std::string TTestFailure::LocationInfo() const {
  if (SourceUnitName.empty()) return FailedMethodName;
  return SourceUnitName + ":" + std::to_string(LineNumber) + " in " + FailedMethodName;
}

TTestFailure TTestFailure::FromException(const TTestCheck& ACheck, std::exception_ptr AError,
                                         TTestStep AStep) {
  TTestFailure f;
  f.SuiteName = ACheck.SuiteName();
  f.TestName = ACheck.Name();
  f.Step = AStep;
  f.FailedMethodName = ACheck.Name();
  const TErrorDescription d = DescribeError(AError);
  f.ExceptionClassName = d.ClassName;
  f.RawMessage = d.Message;
  try {
    std::rethrow_exception(AError);
  } catch (const Exception& e) {
    f.IsFailure = dynamic_cast<const EAssertionFailedError*>(&e) != nullptr;
    f.IsIgnored = dynamic_cast<const EIgnoredTest*>(&e) != nullptr;
    if (e.Where().file_name() && *e.Where().file_name()) {
      f.SourceUnitName = std::filesystem::path(e.Where().file_name()).filename().string();
      f.LineNumber = static_cast<int>(e.Where().line());
      f.FailedMethodName = e.Where().function_name();
    }
  } catch (...) {
  }
  return f;
}

void TTestResult::StartTestSuite(const TTestSuite& ASuite) {
  for (auto* l : FListeners) l->StartTestSuite(ASuite);
}

void TTestResult::EndTestSuite(const TTestSuite& ASuite) {
  for (auto* l : FListeners) l->EndTestSuite(ASuite);
}

void TTestResult::Record(const TTestCheck& ACheck, const TTestFailure& AFailure) {
  if (AFailure.IsFailure) {
    ++(AFailure.IsIgnored ? FIgnored : FFailures);
    for (auto* l : FListeners) l->AddFailure(ACheck, AFailure);
  } else {
    ++FErrors;
    for (auto* l : FListeners) l->AddError(ACheck, AFailure);
  }
}

bool TTestResult::RunStep(const TTestCheck& ACheck, TTestStep AStep, const std::function<void()>& AStepBody,
                          std::vector<TTestFailure>& AProblems) {
  try {
    AStepBody();
    return true;
  } catch (...) {
    AProblems.push_back(TTestFailure::FromException(ACheck, std::current_exception(), AStep));
    return false;
  }
}

namespace {

int Severity(const TTestFailure& AProblem) { return !AProblem.IsFailure ? 2 : AProblem.IsIgnored ? 0 : 1; }

}  // namespace

void TTestResult::RunCheck(const TTestCheck& ACheck) {
  ++FRunTests;
  for (auto* l : FListeners) l->StartTest(ACheck);
  std::unique_ptr<TTestCase> instance;
  std::vector<TTestFailure> problems;
  // A check whose set-up fails neither runs nor tears down: there is
  // nothing of its own to clean up.
  if (RunStep(ACheck, tsSetUp, [&] {
        instance = ACheck.CreateInstance();
        instance->SetUp();
      }, problems)) {
    RunStep(ACheck, tsRunTest, [&] { ACheck.RunMethod(*instance); }, problems);
    RunStep(ACheck, tsTearDown, [&] { instance->TearDown(); }, problems);
  }
  // One check, one result: the gravest problem (error, failure, ignored;
  // the first of equals) is the record, and the other one's text is part of it.
  if (!problems.empty()) {
    TTestFailure record = problems.front();
    for (const TTestFailure& p : problems)
      if (Severity(p) > Severity(record)) record = p;
    // Each step raises at most once, so the step tells the problems apart.
    for (const TTestFailure& p : problems)
      if (p.Step != record.Step) record.RawMessage += "; also " + p.ExceptionMessage();
    Record(ACheck, record);
  }
  for (auto* l : FListeners) l->EndTest(ACheck);
}

}  // namespace qor
