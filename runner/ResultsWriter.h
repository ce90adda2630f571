// The common part of the report writers: each listens to the run, records it
// as a tree of suites and checks with their times, counts and failure
// records, and renders its layout from that tree once the run has ended.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ReportText.h"
#include "TestResult.h"

namespace qor {

enum TOutcome { toPassed, toIgnored, toFailed, toError };

struct TResultNode {
  bool IsSuite = false;
  std::string Name;
  TResultNode* Parent = nullptr;
  std::vector<std::unique_ptr<TResultNode>> Children;
  TClock::time_point Started{};
  TClock::duration Elapsed{};
  bool Ended = false;

  // Checks: the worst outcome seen and every record raised.
  TOutcome Outcome = toPassed;
  std::vector<TTestFailure> Problems;

  // Suites (and the unnamed top of the tree): counts of everything below.
  int RunTests = 0;
  int Errors = 0;
  int Failures = 0;
  int Ignored = 0;
};

struct TWriterSettings {
  std::string FileName;        // empty: standard output
  bool SkipTiming = false;     // no times anywhere in the report
  bool Sparse = false;         // plain layouts: problems only
  bool SkipAddressInfo = false;  // plain layouts: no "at" lines in the summary
};

class TCustomResultsWriter : public ITestListener {
 public:
  explicit TCustomResultsWriter(TWriterSettings ASettings);

  void StartTestSuite(const TTestSuite& ASuite) override;
  void EndTestSuite(const TTestSuite& ASuite) override;
  void StartTest(const TTestCheck& ACheck) override;
  void AddFailure(const TTestCheck& ACheck, const TTestFailure& AFailure) override;
  void AddError(const TTestCheck& ACheck, const TTestFailure& AError) override;
  void EndTest(const TTestCheck& ACheck) override;

  // Writes the finished report; raises EInOutError when its file cannot be written.
  virtual void WriteResult() = 0;

 protected:
  // The nodes the run started at top level are its children; it holds the totals.
  const TResultNode& Top() const { return FTop; }
  const TWriterSettings& Settings() const { return FSettings; }
  std::chrono::system_clock::time_point StartedAt() const { return FStartedAt; }
  TClock::duration TotalElapsed() const { return TClock::now() - FTop.Started; }

 private:
  TResultNode& Open(const std::string& AName, bool AIsSuite);
  void Close();
  void AddProblem(const TTestFailure& AProblem);

  TWriterSettings FSettings;
  std::chrono::system_clock::time_point FStartedAt;
  TResultNode FTop;
  TResultNode* FCurrent = &FTop;
};

}  // namespace qor
