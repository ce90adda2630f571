// The console test runner: reads the defaults file and the command line,
// then prints its usage, lists the registered checks, or runs all or some
// of them and writes a report.
//
// Exit code, as bits: 1 a check failed, 2 a check raised an error, 4 the
// runner itself failed (bad command line, unknown format, report not
// written). Running without arguments prints the usage and exits with 1.
#pragma once

#include <string>
#include <vector>

#include "CustomApplication.h"
#include "ResultsWriter.h"
#include "TestRegistry.h"

namespace qor {

enum TFormat { fPlain = 0, fLatex = 1, fXML = 2, fPlainNoTiming = 3 };
enum TRunMode { rmUnknown = 0, rmList = 1, rmSuite = 2, rmAll = 3 };

// The format named by AValue (any case); raises EConvertError for anything else.
TFormat ParseFormat(const std::string& AValue);

class TTestRunner : public TCustomApplication {
 public:
  TTestRunner(int AArgc, const char* const* AArgv);

  // The long options in order; a trailing ":" marks one that needs a value.
  static const std::vector<std::string>& LongOptionTable();

  // Runner-wide settings read at the start of every run step.
  static inline TFormat DefaultFormat = fXML;
  static inline bool DefaultRunAllTests = false;

 protected:
  void DoRun() override;

 private:
  void ReadDefaults();
  void ApplyCommandLine();
  void WriteUsage() const;
  void ListTests() const;
  void RunNamedTests();
  void RunTests(TTest& ATest);
  std::unique_ptr<TCustomResultsWriter> CreateWriter() const;

  bool FShowProgress = false;
  std::string FFileName;
  std::string FStyleSheet;
  std::vector<std::string> FLongOpts;
  TFormat FFormatParam = fXML;
  bool FSkipTiming = false;
  bool FSparse = false;
  bool FSkipAddressInfo = false;
  std::string FSuite;
  TRunMode FRunMode = rmUnknown;
};

// A test program's entry: creates the runner, sets its title, runs it once
// and frees it; the result is the exit code the run left.
template <class TRunner>
int RunTestProgram(int AArgc, const char* const* AArgv, const std::string& ATitle) {
  TRunner app(AArgc, AArgv);
  app.Initialize();
  app.Title = ATitle;
  app.Run();
  return app.ExitCode;
}

}  // namespace qor
