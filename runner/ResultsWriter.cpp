#include "ResultsWriter.h"

#include <algorithm>

namespace qor {

TCustomResultsWriter::TCustomResultsWriter(TWriterSettings ASettings)
    : FSettings(std::move(ASettings)), FStartedAt(std::chrono::system_clock::now()) {
  FTop.IsSuite = true;
  FTop.Started = TClock::now();
}

TResultNode& TCustomResultsWriter::Open(const std::string& AName, bool AIsSuite) {
  auto node = std::make_unique<TResultNode>();
  node->IsSuite = AIsSuite;
  node->Name = AName;
  node->Parent = FCurrent;
  node->Started = TClock::now();
  FCurrent->Children.push_back(std::move(node));
  FCurrent = FCurrent->Children.back().get();
  return *FCurrent;
}

void TCustomResultsWriter::Close() {
  FCurrent->Elapsed = TClock::now() - FCurrent->Started;
  FCurrent->Ended = true;
  if (FCurrent->Parent) FCurrent = FCurrent->Parent;
}

void TCustomResultsWriter::StartTestSuite(const TTestSuite& ASuite) { Open(ASuite.Name(), true); }

void TCustomResultsWriter::EndTestSuite(const TTestSuite&) { Close(); }

void TCustomResultsWriter::StartTest(const TTestCheck& ACheck) {
  Open(ACheck.Name(), false);
  for (TResultNode* n = FCurrent->Parent; n; n = n->Parent) ++n->RunTests;
}

void TCustomResultsWriter::AddProblem(const TTestFailure& AProblem) {
  const TOutcome outcome = AProblem.IsFailure ? (AProblem.IsIgnored ? toIgnored : toFailed) : toError;
  FCurrent->Outcome = std::max(FCurrent->Outcome, outcome);
  FCurrent->Problems.push_back(AProblem);
  for (TResultNode* n = FCurrent->Parent; n; n = n->Parent) {
    ++(outcome == toError ? n->Errors : outcome == toFailed ? n->Failures : n->Ignored);
  }
}

void TCustomResultsWriter::AddFailure(const TTestCheck&, const TTestFailure& AFailure) {
  AddProblem(AFailure);
}

void TCustomResultsWriter::AddError(const TTestCheck&, const TTestFailure& AError) {
  AddProblem(AError);
}

void TCustomResultsWriter::EndTest(const TTestCheck&) { Close(); }

}  // namespace qor
