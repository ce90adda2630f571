// The command line, the defaults file and the exit codes, as a user meets
// them: the programs run as child processes.
#include <gtest/gtest.h>

#include <sstream>

#include "RunnerPrograms.h"

namespace {

std::vector<std::string> Lines(const std::string& AText) {
  std::vector<std::string> lines;
  std::istringstream in(AText);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> UsageLines(const std::string& ADefaultsPath) {
  return {"QOR MQTT shared library tests",
          "0.3",
          "",
          "Usage: ",
          "  --format=FMT        Select output format. FMT is one of:",
          "    latex            output as latex",
          "    plain            output as plain ASCII source",
          "    plainnotiming    output as plain ASCII source, skip timings",
          "    xml              output as XML source (default)",
          "  --skiptiming              Do not output timings (useful for diffs of testruns)",
          "  --sparse                  Produce Less output (errors/failures only)",
          "  --no-addresses            Do not display address info",
          "  --stylesheet=<reference>   add stylesheet reference",
          "  --file=<filename>         output results to file",
          "",
          "  -l or --list              show a list of registered tests",
          "  -a or --all               run all tests",
          "  -p or --progress          show progress",
          "  --suite=MyTestSuiteName   run single test suite class",
          "",
          "Defaults for long options will be read from ini file " + ADefaultsPath,
          "The results can be redirected to a file,",
          std::string("for example: ") + QORTESTS_EXE + " --all > results.xml"};
}

int RunCount(const std::string& APlainReport) {
  const auto pos = APlainReport.find("Number of run tests: ");
  return pos == std::string::npos ? -1 : std::stoi(APlainReport.substr(pos + 21));
}

}  // namespace

TEST(CommandLine, NoArgumentsPrintsUsageAndExitsOne) {
  const TChildResult r = RunQORTests({});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(Lines(r.Out), UsageLines(kNoDefaults));
}

TEST(CommandLine, HelpPrintsUsageAndExitsZero) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-a", "-h"}}) {
    const TChildResult r = RunQORTests(args);
    EXPECT_EQ(r.ExitCode, 0) << args[0];
    EXPECT_EQ(Lines(r.Out), UsageLines(kNoDefaults)) << args[0];
  }
}

TEST(CommandLine, DefaultsPathBesideTheExecutableWhenBrenkconfigIsEmpty) {
  const TChildResult r = RunChild(QORTESTS_EXE, {"-h"}, {{"BRENKCONFIG", ""}});
  const std::string beside =
      (std::filesystem::path(QORTESTS_EXE).parent_path() / "testdefaults.ini").string();
  EXPECT_NE(r.Out.find("read from ini file " + beside + "\n"), std::string::npos) << r.Out;
}

TEST(CommandLine, OptionsWithoutRunModePrintUsageAndExitZero) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--format=plain"}, {"results.txt"}, {"-al"}, {"-pa"}}) {
    const TChildResult r = RunQORTests(args);
    EXPECT_EQ(r.ExitCode, 0) << args[0];
    EXPECT_EQ(Lines(r.Out), UsageLines(kNoDefaults)) << args[0];
  }
}

TEST(CommandLine, LetterAWritesXMLToStandardOutput) {
  const TChildResult r = RunPassing({"-a"});
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(r.Out.rfind("<?xml", 0), 0u) << r.Out.substr(0, 200);
  EXPECT_EQ(CountOf(r.Out, "Result=\"OK\""), 2u);
}

TEST(CommandLine, LetterGroupSpellingALongNameSelectsIt) {
  const TChildResult r = RunPassing({"-all", "--format=plain"});
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(RunCount(r.Out), 2);
}

TEST(CommandLine, ArgumentsWithoutDashAreIgnored) {
  const TChildResult r = RunPassing({"whatever", "--all", "more", "--format=plain"});
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(RunCount(r.Out), 2);
}

TEST(CommandLine, LastOccurrenceWins) {
  const TChildResult r = RunPassing({"--format=latex", "-a", "--format=plain"});
  EXPECT_EQ(RunCount(r.Out), 2);
  EXPECT_EQ(r.Out.find("\\documentclass"), std::string::npos);
}

TEST(CommandLine, FormatValuesIgnoreCaseButOptionNamesDoNot) {
  TChildResult r = RunPassing({"--format=XML", "-a"});
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_NE(r.Out.find("<TestResults>"), std::string::npos);

  r = RunQORTests({"--Format=xml", "-a"});
  EXPECT_EQ(r.Out, "Invalid option at position 1: \"Format\"\n");
  EXPECT_EQ(r.ExitCode, 4);
}

TEST(CommandLine, OptionCheckMessagesRunNothingAndExitFour) {
  struct TCase {
    std::vector<std::string> Args;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {{"--format"}, "Option at position 1 needs an argument : format"},
      {{"-a", "--file"}, "Option at position 2 needs an argument : file"},
      {{"--all=yes"}, "Option at position 1 does not allow an argument: all"},
      {{"-a", "--bogus"}, "Invalid option at position 2: \"bogus\""},
      {{"x", "-apx"}, "Invalid option at position 2: \"x\""},
      {{"--"}, "Invalid option at position 1: \"\""},
  };
  for (const TCase& c : cases) {
    const TChildResult r = RunQORTests(c.Args);
    EXPECT_EQ(r.Out, c.Message + "\n");
    EXPECT_EQ(r.ExitCode, 4) << c.Message;
  }
}

TEST(CommandLine, InvalidFormatIsAnUnhandledExceptionAndRunsNothing) {
  const TChildResult r = RunQORTests({"--format=html", "-a"});
  EXPECT_EQ(r.ExitCode, 4);
  const auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  EXPECT_EQ(lines[0].rfind("Exception at ", 0), 0u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 16), ": EConvertError:");
  EXPECT_EQ(lines[1], "Not a valid output format : \"html\".");
}

TEST(CommandLine, EmptySuiteListsTheSuites) {
  EXPECT_EQ(RunQORTests({"--suite="}).Out, "TMQTTPacketTests\nTMQTTIntegrationTests\n");
  const TChildResult r = RunFixture({"--suite="});
  EXPECT_EQ(r.Out,
            "TPassingSuite\nTFailingSuite\nTErrorSuite\nTIgnoredSuite\nTSetUpErrorSuite\n"
            "TTearDownErrorSuite\n");
  EXPECT_EQ(r.ExitCode, 0);
}

TEST(CommandLine, UnknownSuiteSelectsNothing) {
  const TChildResult r = RunQORTests({"--suite=NoSuchThing,,AlsoNot"});
  EXPECT_EQ(r.Out, "No tests selected.\n");
  EXPECT_EQ(r.ExitCode, 0);
}

TEST(CommandLine, SuiteNamesResolveBareDottedAndListed) {
  // A single check runs by itself, without any suite around it.
  for (const std::string name : {"TestEncodeVarInt_127", "TMQTTPacketTests.TestEncodeVarInt_127"}) {
    const TChildResult r = RunQORTests({"--suite=" + name, "--format=plain", "--skiptiming"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(RunCount(r.Out), 1) << name;
    EXPECT_NE(r.Out.find("\nTestEncodeVarInt_127\n"), std::string::npos) << r.Out;
  }
  // Several gather under "SuiteList", in the order named; unknown names drop out.
  const TChildResult r = RunQORTests(
      {"--suite=TestEncodeVarInt_128,Nope,TMQTTPacketTests.TestEncodeVarInt_127", "--format=plain",
       "--skiptiming"});
  EXPECT_EQ(RunCount(r.Out), 2);
  const auto suiteList = r.Out.find("\nSuiteList N:2 E:0 F:0 I:0\n");
  ASSERT_NE(suiteList, std::string::npos) << r.Out;
  EXPECT_LT(r.Out.find("  TestEncodeVarInt_128\n"), r.Out.find("  TestEncodeVarInt_127\n"));
  // The suite's name alone runs the whole suite.
  EXPECT_EQ(RunCount(RunQORTests({"--suite=TMQTTPacketTests", "--format=plain"}).Out), 28);
}

TEST(CommandLine, ExitCodeBitsFromFailuresAndErrors) {
  EXPECT_EQ(RunFixture({"--suite=TPassingSuite"}).ExitCode, 0);
  EXPECT_EQ(RunFixture({"--suite=TFailingSuite"}).ExitCode, 1);
  EXPECT_EQ(RunFixture({"--suite=TErrorSuite"}).ExitCode, 2);
  EXPECT_EQ(RunFixture({"--suite=TFailingSuite,TErrorSuite"}).ExitCode, 3);
  EXPECT_EQ(RunFixture({"--suite=TIgnoredSuite"}).ExitCode, 0);
  EXPECT_EQ(RunFixture({"--suite=TSetUpErrorSuite"}).ExitCode, 2);
  EXPECT_EQ(RunFixture({"--suite=TTearDownErrorSuite"}).ExitCode, 1);
  EXPECT_EQ(RunFixture({"-a"}).ExitCode, 3);
}

TEST(CommandLine, UnwritableReportFileAddsFourAfterTheChecksRan) {
  TScratchDir dir;
  const TChildResult r =
      RunFixture({"--suite=TFailingSuite", "--format=plain", "--file=" + dir.File("no/such/dir/r.txt")});
  EXPECT_EQ(r.ExitCode, 1 | 4);
  EXPECT_NE(r.Out.find("#teardown TFailingSuite"), std::string::npos);  // the checks did run
  EXPECT_NE(r.Out.find(": EInOutError:\nUnable to create file"), std::string::npos) << r.Out;
}

TEST(CommandLine, ProgressCharactersThenReportThenLineEnd) {
  const TChildResult r =
      RunFixture({"--suite=TPassingSuite,TFailingSuite,TErrorSuite,TIgnoredSuite", "-p",
                  "--format=plain", "--file=/dev/null"});
  // The checks' own lines interleave with the progress characters.
  std::string progress = r.Out;
  for (auto pos = progress.find("#teardown TFailingSuite\n"); pos != std::string::npos;
       pos = progress.find("#teardown TFailingSuite\n"))
    progress.erase(pos, 24);
  EXPECT_EQ(progress, "..FF.EE.F.\n");
  EXPECT_EQ(r.Out.back(), '\n');
}

TEST(CommandLine, QuietRunStillEndsTheLineAfterTheReport) {
  const TChildResult r = RunPassing({"-a", "--format=plain"});
  ASSERT_GE(r.Out.size(), 2u);
  EXPECT_EQ(r.Out.substr(r.Out.size() - 2), "\n\n");
  EXPECT_EQ(r.Out.rfind("Number of run tests: 2\n", 0), 0u);
}

TEST(DefaultsFile, SuiteRunsWhenAnyArgumentIsGiven) {
  TScratchDir dir;
  const std::string ini = dir.Write("d.ini", "[defaults]\nsuite=TPassingSuite\nformat=plain\n");
  TChildResult r = RunFixture({"whatever"}, ini);
  EXPECT_EQ(RunCount(r.Out), 2);
  EXPECT_EQ(r.ExitCode, 0);
  // Without any argument the usage text wins, and says where the file is.
  r = RunFixture({}, ini);
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Out.find("read from ini file " + ini + "\n"), std::string::npos);
  // A run option on the command line overrides the file's.
  r = RunFixture({"--suite=TFailingSuite"}, ini);
  EXPECT_EQ(RunCount(r.Out), 3);
}

TEST(DefaultsFile, AllRunsEverythingWithoutArguments) {
  TScratchDir dir;
  const std::string ini = dir.Write("d.ini", "[defaults]\nall=1\nformat=plain\n");
  const TChildResult r = RunPassing({}, ini);
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(RunCount(r.Out), 2);
}

TEST(DefaultsFile, ListAppliesOnlyWithoutSuiteAndAll) {
  TScratchDir dir;
  TChildResult r = RunQORTests({"x"}, dir.Write("a.ini", "[defaults]\nlist=1\nformat=plain\n"));
  EXPECT_EQ(r.Out.rfind("TestSuites: \r\n", 0), 0u);
  r = RunPassing({"x"}, dir.Write("b.ini", "[defaults]\nlist=1\nall=1\nformat=plain\n"));
  EXPECT_EQ(RunCount(r.Out), 2);
}

TEST(DefaultsFile, BooleanIsTrueOnlyWhenItStartsWithOne) {
  TScratchDir dir;
  TChildResult r = RunFixture(
      {"--suite=TPassingSuite"},
      dir.Write("a.ini", "[defaults]\nprogress=true\nformat=plain\nfile=" + dir.File("r") + "\n"));
  EXPECT_EQ(r.Out, "\n");  // no progress, report in the file
  r = RunFixture({"--suite=TPassingSuite"},
                 dir.Write("b.ini", "[DEFAULTS]\nProgress=1yes\nformat=plain\nfile=" +
                                        dir.File("r") + "\n"));
  EXPECT_EQ(r.Out, "..\n");
  EXPECT_EQ(RunCount(TScratchDir::Read(dir.File("r"))), 2);
}

TEST(DefaultsFile, CommandLineWinsAndOnlySwitchesOn) {
  TScratchDir dir;
  const std::string ini = dir.Write(
      "d.ini", "[defaults]\nformat=latex\nskiptiming=1\nfile=" + dir.File("from-ini") + "\n");
  const TChildResult r = RunFixture(
      {"--suite=TPassingSuite", "--format=plain", "--file=" + dir.File("from-cli")}, ini);
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("from-ini")));
  const std::string report = TScratchDir::Read(dir.File("from-cli"));
  EXPECT_EQ(RunCount(report), 2);
  EXPECT_EQ(report.find(" Time:"), std::string::npos);  // skiptiming from the file still holds
}

TEST(DefaultsFile, InvalidFormatInTheFileFailsTheRun) {
  TScratchDir dir;
  const TChildResult r =
      RunFixture({"-a"}, dir.Write("d.ini", "[defaults]\nformat=pdf\n"));
  EXPECT_EQ(r.ExitCode, 4);
  EXPECT_NE(r.Out.find("Not a valid output format : \"pdf\"."), std::string::npos);
}

TEST(DefaultsFile, OtherSectionsAndBadLinesDoNotCount) {
  TScratchDir dir;
  const TChildResult r = RunFixture(
      {"x"}, dir.Write("d.ini", "[other]\nsuite=TFailingSuite\nthis line is no setting\n"
                                "[defaults]\nsuite=TPassingSuite\nformat=plain\n"));
  EXPECT_EQ(RunCount(r.Out), 2);
  EXPECT_NE(r.Err.find("not understood"), std::string::npos);
}

TEST(Bounds, TheLongestArgumentsAreHandled) {
  // Linux passes no single argument over 128 KiB to a program; a mebibyte
  // reaches the option rules only in-process (Options.AMebibyteArgument).
  const std::string huge(120 * 1024, 'x');
  TChildResult r = RunQORTests({"--suite=" + huge});
  EXPECT_EQ(r.Out, "No tests selected.\n");
  EXPECT_EQ(r.ExitCode, 0);
  r = RunQORTests({"--" + huge});
  EXPECT_EQ(r.ExitCode, 4);
  EXPECT_EQ(r.Out.size(), std::string("Invalid option at position 1: \"\"\n").size() + huge.size());
  r = RunPassing({"-a", "--file=/tmp/" + huge});  // no such file name is possible
  EXPECT_EQ(r.ExitCode, 4);
  EXPECT_NE(r.Out.find(": EInOutError:"), std::string::npos);
  EXPECT_LE(r.Out.size(), 260u);  // the exception report is cut at 255 characters
}

// A line longer than inih takes is skipped whole: neither its cut value nor
// its tail (read as a line of its own) sets anything, and the rest applies.
TEST(DefaultsFile, AnOverlongLineIsSkippedWholeWithOneNote) {
  for (const size_t length : {size_t{188}, size_t{1} << 20}) {
    TScratchDir dir;
    const std::string ini =
        dir.Write("d.ini", "[defaults]\nsuite=TPassingSuite.TestOne\nstylesheet=" + std::string(length, 'Y') +
                               "suite=TFailingSuite\nformat=xml\n");
    const TChildResult r = RunFixture({"x"}, ini);
    EXPECT_NE(r.Out.find("<NumberOfRunTests>1</NumberOfRunTests>"), std::string::npos) << length;
    EXPECT_EQ(r.Out.find("xml-stylesheet"), std::string::npos) << length;
    EXPECT_EQ(r.Err, "Defaults file " + ini + ": line 3 is longer than 199 characters, skipped\n");
  }
}
