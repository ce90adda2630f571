#include "TestRunner.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include "CommandLine.h"
#include "DefaultsFile.h"
#include "LatexResultsWriter.h"
#include "PlainResultsWriter.h"
#include "ProgressWriter.h"
#include "XMLResultsWriter.h"

namespace qor {

QOR_DECLARE_EXCEPTION(EConvertError, Exception);

namespace {

constexpr const char* kShortOptions = "alhp";
// The runner's own failures (bad command line, unknown format, report not
// written) are bit 4 of the exit code, apart from the checks' 1 and 2.
constexpr int kRunnerFailed = 4;

}  // namespace

TFormat ParseFormat(const std::string& AValue) {
  std::string lower = AValue;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "latex") return fLatex;
  if (lower == "plain") return fPlain;
  if (lower == "plainnotiming") return fPlainNoTiming;
  if (lower == "xml") return fXML;
  throw EConvertError("Not a valid output format : \"" + AValue + "\"");
}

const std::vector<std::string>& TTestRunner::LongOptionTable() {
  static const std::vector<std::string> table{"all",     "list",  "progress",    "help",
                                              "skiptiming", "suite:", "format:",  "file:",
                                              "stylesheet:", "sparse", "no-addresses"};
  return table;
}

TTestRunner::TTestRunner(int AArgc, const char* const* AArgv)
    : TCustomApplication(AArgc, AArgv), FLongOpts(LongOptionTable()) {
  StopOnException = true;
  ExceptionExitCode = kRunnerFailed;
}

void TTestRunner::DoRun() {
  Terminate();
  FFormatParam = DefaultFormat;
  if (DefaultRunAllTests) FRunMode = rmAll;

  const std::string problem = CheckOptions(Params(), kShortOptions, ParseLongOptions(FLongOpts));
  if (!problem.empty()) {
    std::cout << problem << std::endl;
    ExitCode = kRunnerFailed;
    return;
  }

  ReadDefaults();

  const bool help = HasOption('h', "help");
  if (help || (Params().empty() && FRunMode != rmAll)) {
    WriteUsage();
    if (!help) ExitCode = 1;
    return;
  }
  ApplyCommandLine();

  switch (FRunMode) {
    case rmList: ListTests(); break;
    case rmSuite: RunNamedTests(); break;
    case rmAll: RunTests(GetTestRegistry()); break;
    case rmUnknown: WriteUsage(); break;
  }
}

void TTestRunner::ReadDefaults() {
  const TDefaultsFile ini = TDefaultsFile::Read(TDefaultsFile::Path());
  if (auto v = ini.Value("format"); v && !v->empty()) FFormatParam = ParseFormat(*v);
  if (auto v = ini.Value("file")) FFileName = *v;
  if (auto v = ini.Value("stylesheet")) FStyleSheet = *v;
  if (auto v = ini.Boolean("progress")) FShowProgress = *v;
  if (auto v = ini.Boolean("skiptiming")) FSkipTiming = *v;
  if (auto v = ini.Boolean("sparse")) FSparse = *v;
  if (auto v = ini.Boolean("no-addresses")) FSkipAddressInfo = *v;
  FSuite = ini.Value("suite").value_or("");
  if (!FSuite.empty()) {
    FRunMode = rmSuite;
  } else if (ini.Boolean("all").value_or(false)) {
    FRunMode = rmAll;
  } else if (ini.Boolean("list").value_or(false)) {
    FRunMode = rmList;
  }
}

void TTestRunner::ApplyCommandLine() {
  if (HasOption("format")) FFormatParam = ParseFormat(GetOptionValue("format"));
  if (HasOption("file")) FFileName = GetOptionValue("file");
  if (HasOption("stylesheet")) FStyleSheet = GetOptionValue("stylesheet");
  if (HasOption('p', "progress")) FShowProgress = true;
  if (HasOption("skiptiming")) FSkipTiming = true;
  if (HasOption("sparse")) FSparse = true;
  if (HasOption("no-addresses")) FSkipAddressInfo = true;
  if (HasOption("suite")) {
    FSuite = GetOptionValue("suite");
    FRunMode = rmSuite;
  } else if (HasOption('a', "all")) {
    FRunMode = rmAll;
  } else if (HasOption('l', "list")) {
    FRunMode = rmList;
  }
}

void TTestRunner::WriteUsage() const {
  std::cout << Title << "\n"
            << "0.3\n"
            << "\n"
            << "Usage: \n"
            << "  --format=FMT        Select output format. FMT is one of:\n"
            << "    latex            output as latex\n"
            << "    plain            output as plain ASCII source\n"
            << "    plainnotiming    output as plain ASCII source, skip timings\n"
            << "    xml              output as XML source (default)\n"
            << "  --skiptiming              Do not output timings (useful for diffs of testruns)\n"
            << "  --sparse                  Produce Less output (errors/failures only)\n"
            << "  --no-addresses            Do not display address info\n"
            << "  --stylesheet=<reference>   add stylesheet reference\n"
            << "  --file=<filename>         output results to file\n"
            << "\n"
            << "  -l or --list              show a list of registered tests\n"
            << "  -a or --all               run all tests\n"
            << "  -p or --progress          show progress\n"
            << "  --suite=MyTestSuiteName   run single test suite class\n"
            << "\n"
            << "Defaults for long options will be read from ini file " << TDefaultsFile::Path() << "\n"
            << "The results can be redirected to a file,\n"
            << "for example: " << ExeName() << " --all > results.xml\n"
            << std::flush;
}

void TTestRunner::ListTests() const {
  const TTestSuite& root = GetTestRegistry();
  switch (FFormatParam) {
    case fLatex: std::cout << LatexListing(root); break;
    case fXML: std::cout << XMLListing(root); break;
    default: std::cout << PlainListing(root); break;
  }
  std::cout << std::flush;
}

void TTestRunner::RunNamedTests() {
  TTestSuite& root = GetTestRegistry();
  if (FSuite.empty()) {
    for (const TTest* t : root.Tests()) std::cout << t->Name() << "\n";
    std::cout << std::flush;
    return;
  }
  // Borrows what it finds: the registry keeps ownership.
  TTestSuite selection("SuiteList");
  size_t start = 0;
  while (start <= FSuite.size()) {
    const auto comma = FSuite.find(',', start);
    const std::string name =
        FSuite.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!name.empty()) {
      if (TTest* found = root.FindTest(name)) selection.AddBorrowed(*found);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::vector<TTestCheck*> checks;
  selection.CollectChecks(checks);
  if (checks.empty()) {
    std::cout << "No tests selected." << std::endl;
  } else if (checks.size() == 1) {
    RunTests(*checks.front());
  } else {
    RunTests(selection);
  }
}

std::unique_ptr<TCustomResultsWriter> TTestRunner::CreateWriter() const {
  TWriterSettings settings;
  settings.FileName = FFileName;
  settings.SkipTiming = FSkipTiming || FFormatParam == fPlainNoTiming;
  settings.Sparse = FSparse;
  settings.SkipAddressInfo = FSkipAddressInfo;
  switch (FFormatParam) {
    case fLatex: return std::make_unique<TLatexResultsWriter>(settings);
    case fXML: {
      auto writer = std::make_unique<TXMLResultsWriter>(settings);
      writer->AddTitle(Title);
      writer->AddStyleSheet(FStyleSheet);
      return writer;
    }
    default: return std::make_unique<TPlainResultsWriter>(settings);
  }
}

void TTestRunner::RunTests(TTest& ATest) {
  // Declared first, freed last: its line end follows a report written to
  // standard output.
  TProgressWriter progress(!FShowProgress);
  try {
    TTestResult result;
    auto writer = CreateWriter();
    result.AddListener(progress);
    result.AddListener(*writer);
    ATest.Run(result);
    writer->WriteResult();
  } catch (...) {
    ExitCode = progress.ExitCode();
    throw;
  }
  ExitCode = progress.ExitCode();
}

}  // namespace qor
