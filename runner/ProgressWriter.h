// One character per check on standard output while the run goes on, and the
// run's exit code: bit 1 for a failure, bit 2 for an error. Ignored failures
// count for neither.
#pragma once

#include "TestResult.h"

namespace qor {

class TProgressWriter : public ITestListener {
 public:
  explicit TProgressWriter(bool AQuiet) : FQuiet(AQuiet) {}
  // Ends the line; a report written to standard output sits in front of it.
  ~TProgressWriter() override;

  void StartTestSuite(const TTestSuite&) override {}
  void EndTestSuite(const TTestSuite&) override {}
  void StartTest(const TTestCheck& ACheck) override;
  void AddFailure(const TTestCheck& ACheck, const TTestFailure& AFailure) override;
  void AddError(const TTestCheck& ACheck, const TTestFailure& AError) override;
  void EndTest(const TTestCheck& ACheck) override;

  int ExitCode() const { return (FFailures > 0 ? 1 : 0) | (FErrors > 0 ? 2 : 0); }

 private:
  void Write(char AChar);

  bool FQuiet;
  bool FPassing = false;
  int FFailures = 0;
  int FIgnored = 0;
  int FErrors = 0;
};

}  // namespace qor
