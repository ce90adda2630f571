#include "LatexResultsWriter.h"

namespace qor {

namespace {

std::string Item(const std::string& ALabel, const std::string& AText) {
  return "\\item[" + ALabel + "] " + LatexEscape(AText) + "\n";
}

class TLatexRenderer {
 public:
  TLatexRenderer(const TWriterSettings& ASettings) : FSettings(ASettings) {}

  void Node(const TResultNode& ANode) {
    if (ANode.IsSuite) {
      FText += "\\item \\textbf{\\textcolor{Blue}{" + LatexEscape(ANode.Name) + "}}\n";
      if (!FSettings.SkipTiming) FText += "\\item[] Time: " + FormatElapsedPlain(ANode.Elapsed) + "\n";
      Children(ANode);
      return;
    }
    std::string line = "\\item ";
    if (!FSettings.SkipTiming) line += FormatElapsedPlain(ANode.Elapsed) + " ";
    FText += line + LatexEscape(ANode.Name) + "\n";
    for (const TTestFailure& p : ANode.Problems) Problem(p);
  }

  // An empty itemize does not compile, so a node without children opens none.
  void Children(const TResultNode& ANode) {
    if (ANode.Children.empty()) return;
    FText += "\\begin{itemize}\n";
    for (const auto& child : ANode.Children) Node(*child);
    FText += "\\end{itemize}\n";
  }

  std::string& Text() { return FText; }

 private:
  void Problem(const TTestFailure& AProblem) {
    FText += "\\begin{itemize}\n";
    if (!AProblem.IsFailure) {
      FText += "\\color{Red}\n";
      FText += Item("Error:", AProblem.ExceptionClassName);
      FText += Item("Exception:", AProblem.ExceptionMessage());
      FText += Item("Source unit:", AProblem.SourceUnitName);
      FText += Item("Method name:", AProblem.FailedMethodName);
      FText += Item("Line number:", std::to_string(AProblem.LineNumber));
    } else if (AProblem.IsIgnored) {
      FText += "\\item[] \\colorbox{Yellow}{IGNORED TEST: " + LatexEscape(AProblem.ExceptionMessage()) +
               "}\n";
    } else {
      FText += "\\color{Pink}\n";
      FText += Item("FAILED:", AProblem.ExceptionMessage());
    }
    FText += "\\end{itemize}\n";
  }

  const TWriterSettings& FSettings;
  std::string FText;
};

void ListTest(const TTest& ATest, std::string& AOut) {
  const auto* suite = dynamic_cast<const TTestSuite*>(&ATest);
  AOut += "\\item " + LatexEscape(ATest.Name()) + "\n";
  if (!suite || suite->Tests().empty()) return;
  AOut += "\\begin{itemize}\n";
  for (const TTest* t : suite->Tests()) ListTest(*t, AOut);
  AOut += "\\end{itemize}\n";
}

}  // namespace

std::string TLatexResultsWriter::ReportText() const {
  TLatexRenderer r(Settings());
  std::string& t = r.Text();
  t += "\\documentclass[12pt,a4paper]{report}\n"
       "\\usepackage{fullpage}\n"
       "\\usepackage{color}\n"
       "\\definecolor{Blue}{rgb}{0.3,0.3,0.9}\n"
       "\\definecolor{Red}{rgb}{1,0,0}\n"
       "\\definecolor{Pink}{rgb}{1,0,1}\n"
       "\\definecolor{Yellow}{rgb}{1,1,0}\n"
       "\\author{Brenk}\n"
       "\\title{Unit tests run by Brenk}\n"
       "\\begin{document}\n"
       "\\maketitle\n"
       "\\flushleft\n";
  r.Children(Top());
  const TResultNode& top = Top();
  t += "\\begin{tabular}{ll}\n"
       "Number of run tests: & " + std::to_string(top.RunTests) + "\\\\\n"
       "Number of errors: & " + std::to_string(top.Errors) + "\\\\\n"
       "Number of failures: & " + std::to_string(top.Failures) + "\\\\\n"
       "Number of ignored tests: & " + std::to_string(top.Ignored) + "\\\\\n"
       "\\end{tabular}\n"
       "\\end{document}\n";
  return t;
}

void TLatexResultsWriter::WriteResult() { WriteReportText(Settings().FileName, ReportText()); }

std::string LatexListing(const TTestSuite& ARoot) {
  std::string out =
      "\\documentclass[12pt,a4paper]{article}\n"
      "\\usepackage{array}\n"
      "\\usepackage{mdwlist}\n"
      "\\begin{document}\n"
      "\\section*{Test Suite}\n";
  if (!ARoot.Tests().empty()) {
    out += "\\begin{itemize}\n";
    for (const TTest* t : ARoot.Tests()) ListTest(*t, out);
    out += "\\end{itemize}\n";
  }
  out += "\\end{document}\n";
  return out;
}

}  // namespace qor
