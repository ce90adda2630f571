#include "PlainResultsWriter.h"

namespace qor {

namespace {

void CollectProblems(const TResultNode& ANode, std::vector<const TTestFailure*>& AErrors,
                     std::vector<const TTestFailure*>& AFailures,
                     std::vector<const TTestFailure*>& AIgnored) {
  for (const TTestFailure& p : ANode.Problems) {
    (p.IsFailure ? (p.IsIgnored ? AIgnored : AFailures) : AErrors).push_back(&p);
  }
  for (const auto& child : ANode.Children) CollectProblems(*child, AErrors, AFailures, AIgnored);
}

class TPlainRenderer {
 public:
  TPlainRenderer(const TWriterSettings& ASettings) : FSettings(ASettings) {}

  void Summary(const TResultNode& ATop) {
    Line("Number of run tests: " + std::to_string(ATop.RunTests));
    Line("Number of errors:    " + std::to_string(ATop.Errors));
    Line("Number of failures:  " + std::to_string(ATop.Failures));
    std::vector<const TTestFailure*> errors, failures, ignored;
    CollectProblems(ATop, errors, failures, ignored);
    List(errors, "List of errors:", "  Error: ");
    List(failures, "List of failures:", "  Failure: ");
    List(ignored, "List of ignored tests:", "  Ignored test: ");
  }

  void Body(const TResultNode& ANode, int ALevel) {
    const std::string indent(static_cast<size_t>(ALevel) * 2, ' ');
    if (ANode.IsSuite) {
      std::string line = indent + ANode.Name;
      if (!FSettings.SkipTiming) line += " Time:" + FormatElapsedPlain(ANode.Elapsed);
      line += " N:" + std::to_string(ANode.RunTests) + " E:" + std::to_string(ANode.Errors) +
              " F:" + std::to_string(ANode.Failures) + " I:" + std::to_string(ANode.Ignored);
      Line(line);
      for (const auto& child : ANode.Children) Body(*child, ALevel + 1);
      return;
    }
    if (FSettings.Sparse && ANode.Outcome == toPassed) return;
    std::string line = indent;
    if (!FSettings.SkipTiming) line += FormatElapsedPlain(ANode.Elapsed) + " ";
    line += ANode.Name;
    if (ANode.Problems.empty()) Line(line);
    // The first problem extends the check's line; a further one (a failed
    // tear-down after a failed check) gets a line of its own.
    for (const TTestFailure& p : ANode.Problems) {
      if (!p.IsFailure) {
        Line(line + "  Error: " + p.ExceptionClassName);
      } else if (p.IsIgnored) {
        Line(line + "  Ignored test: " + p.ExceptionMessage());
      } else {
        Line(line + "  Failed: " + p.ExceptionMessage());
      }
      line = indent;
      if (p.IsIgnored) continue;
      if (!FSettings.Sparse) Line(indent + "    Exception:   " + p.ExceptionMessage());
      Line(indent + "    at " + p.LocationInfo());
    }
  }

  std::string Text() const { return FText; }
  void Line(const std::string& ALine) { FText += ALine + "\n"; }

 private:
  void List(const std::vector<const TTestFailure*>& AEntries, const char* AHeading,
            const char* AEntryLabel) {
    if (AEntries.empty()) return;
    Line("");
    Line(AHeading);
    for (const TTestFailure* p : AEntries) {
      Line(AEntryLabel + (p->SuiteName.empty() ? "" : p->SuiteName + ".") + p->TestName);
      Line("    Message:           " + p->AsString());
      Line("    Exception class:   " + p->ExceptionClassName);
      if (!FSettings.Sparse) Line("    Exception message: " + p->ExceptionMessage());
      if (!FSettings.SkipAddressInfo && !p->IsIgnored) Line("        at " + p->LocationInfo());
    }
  }

  const TWriterSettings& FSettings;
  std::string FText;
};

// A suite's checks stand two blanks deeper than the suite, named with every
// enclosing suite: "  Suite.Check", "    Suite.Inner.Check".
void ListTest(const TTest& ATest, const std::string& APrefix, int ADepth, std::string& AOut) {
  const std::string indent(static_cast<size_t>(ADepth) * 2, ' ');
  const auto* suite = dynamic_cast<const TTestSuite*>(&ATest);
  if (!suite) {
    AOut += indent + APrefix + ATest.Name() + "\r\n";
    return;
  }
  AOut += indent + ATest.Name() + "\r\n";
  for (const TTest* t : suite->Tests()) ListTest(*t, APrefix + ATest.Name() + ".", ADepth + 1, AOut);
}

}  // namespace

std::string TPlainResultsWriter::ReportText() const {
  TPlainRenderer r(Settings());
  r.Summary(Top());
  r.Line("");
  for (const auto& child : Top().Children) r.Body(*child, 0);
  return r.Text();
}

void TPlainResultsWriter::WriteResult() { WriteReportText(Settings().FileName, ReportText()); }

std::string PlainListing(const TTestSuite& ARoot) {
  std::string out = "TestSuites: \r\n";
  for (const TTest* t : ARoot.Tests()) ListTest(*t, "", 0, out);
  return out;
}

}  // namespace qor
