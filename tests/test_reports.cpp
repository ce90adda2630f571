// Reports read back: the XML through pugixml, the plain and LaTeX layouts
// by their labels. The fixture's checks pass, fail, raise and ignore.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <map>

#include "RunnerPrograms.h"

namespace {

struct TXmlReport {
  pugi::xml_document Doc;
  std::string Text;
  TChildResult Run;
};

// Runs the fixture with the given arguments and parses its XML report file.
void RunXml(TXmlReport& AReport, std::vector<std::string> AArgs) {
  TScratchDir dir;
  AArgs.push_back("--file=" + dir.File("r.xml"));
  AReport.Run = RunFixture(AArgs);
  AReport.Text = TScratchDir::Read(dir.File("r.xml"));
  const pugi::xml_parse_result ok =
      AReport.Doc.load_string(AReport.Text.c_str(), pugi::parse_default | pugi::parse_comments |
                                                          pugi::parse_pi | pugi::parse_declaration);
  ASSERT_TRUE(ok) << ok.description() << "\n" << AReport.Text;
}

// The fixture's report in a layout, written to a file apart from what the checks print.
std::string FixtureReport(std::vector<std::string> AArgs) {
  TScratchDir dir;
  AArgs.push_back("--file=" + dir.File("report"));
  RunFixture(AArgs);
  return TScratchDir::Read(dir.File("report"));
}

std::vector<std::string> ChildNames(pugi::xml_node ANode) {
  std::vector<std::string> names;
  for (pugi::xml_node c : ANode.children())
    names.push_back(c.type() == pugi::node_comment ? "#comment" : c.name());
  return names;
}

std::vector<std::string> AttributeNames(pugi::xml_node ANode) {
  std::vector<std::string> names;
  for (pugi::xml_attribute a : ANode.attributes()) names.push_back(a.name());
  return names;
}

pugi::xml_node FindTest(const pugi::xml_document& ADoc, const std::string& AName) {
  return ADoc.select_node(("//Test[@Name='" + AName + "']").c_str()).node();
}

}  // namespace

TEST(XmlReport, StructureOrderAndCounts) {
  TXmlReport r;
  RunXml(r, {"-a"});
  EXPECT_EQ(r.Run.ExitCode, 3);
  const pugi::xml_node root = r.Doc.document_element();
  EXPECT_STREQ(root.name(), "TestResults");
  EXPECT_EQ(ChildNames(root),
            (std::vector<std::string>{"#comment", "TestListing", "Title", "NumberOfRunTests",
                                      "NumberOfErrors", "NumberOfFailures", "NumberOfIgnoredTests",
                                      "TotalElapsedTime", "DateTimeRan"}));
  const std::string comment = root.first_child().value();
  EXPECT_EQ(comment.rfind(" Generated using Brenk on ", 0), 0u);
  EXPECT_EQ(comment.size(), std::string(" Generated using Brenk on yyyy-mm-dd hh:nn:ss ").size());
  EXPECT_STREQ(root.child_value("Title"), "Runner fixture");
  EXPECT_STREQ(root.child_value("NumberOfRunTests"), "13");
  EXPECT_STREQ(root.child_value("NumberOfErrors"), "3");
  // One result per check, also for one that fails in its method and again in TearDown.
  EXPECT_STREQ(root.child_value("NumberOfFailures"), "4");
  EXPECT_EQ(r.Doc.select_nodes("//Test[@Result='Failed']").size(), 4u);
  EXPECT_STREQ(root.child_value("NumberOfIgnoredTests"), "1");
  EXPECT_EQ(std::string(root.child_value("TotalElapsedTime")).size(), 12u);  // hh:nn:ss.zzz

  // The unnamed root suite is outermost, the registered suites inside it.
  const pugi::xml_node top = root.child("TestListing").child("TestSuite");
  EXPECT_STREQ(top.attribute("Name").value(), "");
  EXPECT_EQ(AttributeNames(top),
            (std::vector<std::string>{"Name", "ElapsedTime", "NumberOfRunTests", "NumberOfErrors",
                                      "NumberOfFailures", "NumberOfIgnoredTests"}));
  EXPECT_EQ(ChildNames(top).size(), 6u);
  const pugi::xml_node failing = top.find_child_by_attribute("TestSuite", "Name", "TFailingSuite");
  EXPECT_STREQ(failing.attribute("NumberOfRunTests").value(), "3");
  EXPECT_STREQ(failing.attribute("NumberOfFailures").value(), "2");
  EXPECT_STREQ(failing.attribute("NumberOfErrors").value(), "0");

  const pugi::xml_node passed = FindTest(r.Doc, "TestOne");
  EXPECT_EQ(AttributeNames(passed), (std::vector<std::string>{"Name", "Result", "ElapsedTime"}));
  EXPECT_STREQ(passed.attribute("Result").value(), "OK");
  EXPECT_TRUE(passed.first_child().empty());
}

TEST(XmlReport, FailureErrorAndIgnoredDetails) {
  TXmlReport r;
  RunXml(r, {"-a"});
  const pugi::xml_node failed = FindTest(r.Doc, "TestAssertEquals");
  EXPECT_STREQ(failed.attribute("Result").value(), "Failed");
  EXPECT_EQ(ChildNames(failed),
            (std::vector<std::string>{"Message", "ExceptionClass", "ExceptionMessage"}));
  EXPECT_STREQ(failed.child_value("Message"),
               "TFailingSuite.TestAssertEquals: \"Greeting\" expected: <hello> but was: <world>");
  EXPECT_STREQ(failed.child_value("ExceptionClass"), "EAssertionFailedError");

  const pugi::xml_node error = FindTest(r.Doc, "TestRaisesQorException");
  EXPECT_STREQ(error.attribute("Result").value(), "Error");
  EXPECT_EQ(ChildNames(error),
            (std::vector<std::string>{"Message", "ExceptionClass", "ExceptionMessage",
                                      "SourceUnitName", "LineNumber", "FailedMethodName"}));
  EXPECT_STREQ(error.child_value("ExceptionClass"), "Exception");
  EXPECT_STREQ(error.child_value("ExceptionMessage"), "boom");
  EXPECT_STREQ(error.child_value("SourceUnitName"), "runner_fixture.cpp");
  EXPECT_GT(std::stoi(error.child_value("LineNumber")), 0);
  EXPECT_NE(std::string(error.child_value("FailedMethodName")).find("TestRaisesQorException"),
            std::string::npos);

  const pugi::xml_node stdError = FindTest(r.Doc, "TestRaisesStdException");
  EXPECT_STREQ(stdError.child_value("ExceptionClass"), "std::runtime_error");
  EXPECT_STREQ(stdError.child_value("ExceptionMessage"), "std boom");

  EXPECT_STREQ(FindTest(r.Doc, "TestIgnored").attribute("Result").value(), "Ignored");
  EXPECT_STREQ(FindTest(r.Doc, "TestIgnored").child_value("ExceptionMessage"), "not on this machine");
}

TEST(XmlReport, SetUpAndTearDownProblemsArePrefixed) {
  TXmlReport r;
  RunXml(r, {"-a"});
  EXPECT_STREQ(FindTest(r.Doc, "TestNeverRuns").child_value("ExceptionMessage"), "[SETUP] no broker");
  EXPECT_STREQ(FindTest(r.Doc, "TestPassesThenTearDownFails").child_value("ExceptionMessage"),
               "[TEARDOWN] cleanup failed");
  // A failed set-up skips the method and the tear-down; a failed check still tears down.
  EXPECT_EQ(r.Run.Out.find("#method TSetUpErrorSuite"), std::string::npos);
  EXPECT_EQ(r.Run.Out.find("#teardown TSetUpErrorSuite"), std::string::npos);
  EXPECT_EQ(CountOf(r.Run.Out, "#teardown TFailingSuite"), 3u);
}

TEST(XmlReport, AnyMessageStaysWellFormed) {
  TXmlReport r;
  RunXml(r, {"--suite=TestAssertTrue"});
  // A single check runs by itself, directly in the listing.
  const pugi::xml_node test = r.Doc.document_element().child("TestListing").child("Test");
  EXPECT_STREQ(test.child_value("ExceptionMessage"),
               "a <b> & \"c\" 'd'\\x01 e_f {g} $h% #i ~j ^k \\l");
}

TEST(XmlReport, NoTimesWhenSkipped) {
  TXmlReport r;
  RunXml(r, {"-a", "--skiptiming"});
  EXPECT_EQ(r.Text.find("ElapsedTime"), std::string::npos);
  EXPECT_TRUE(r.Doc.document_element().child("DateTimeRan"));
}

TEST(XmlReport, StylesheetInstructionBeforeTheRoot) {
  TXmlReport r;
  RunXml(r, {"--suite=TPassingSuite", "--stylesheet=report.xsl"});
  const pugi::xml_node pi = r.Doc.document_element().previous_sibling();
  EXPECT_EQ(pi.type(), pugi::node_pi);
  EXPECT_STREQ(pi.name(), "xml-stylesheet");
  EXPECT_STREQ(pi.value(), "type=\"text/xsl\" href=\"report.xsl\"");
}

TEST(XmlReport, NullWritesNoReport) {
  const TChildResult r = RunFixture({"--suite=TPassingSuite", "--file=null", "-p"});
  EXPECT_EQ(r.Out, "..\n");
  EXPECT_EQ(r.ExitCode, 0);
}

TEST(Listing, XmlPlainAndLatex) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(RunFixture({"-l"}).Out.c_str()));
  const pugi::xml_node suites = doc.child("TestSuites");
  EXPECT_EQ(ChildNames(suites).size(), 6u);
  const pugi::xml_node passing = suites.first_child();
  EXPECT_STREQ(passing.attribute("Name").value(), "TPassingSuite");
  EXPECT_STREQ(passing.first_child().name(), "Test");
  EXPECT_STREQ(passing.first_child().attribute("name").value(), "TestOne");

  const std::string plain = RunFixture({"-l", "--format=plain"}).Out;
  EXPECT_EQ(plain.rfind("TestSuites: \r\nTPassingSuite\r\n  TPassingSuite.TestOne\r\n"
                        "  TPassingSuite.TestTwo\r\nTFailingSuite\r\n",
                        0),
            0u);
  // The runner adds no line break of its own after a listing.
  EXPECT_EQ(plain.substr(plain.size() - 4), "ls\r\n");

  const std::string latex = RunFixture({"-l", "--format=latex"}).Out;
  EXPECT_NE(latex.find("\\documentclass[12pt,a4paper]{article}"), std::string::npos);
  EXPECT_NE(latex.find("\\usepackage{mdwlist}"), std::string::npos);
  EXPECT_NE(latex.find("\\section*{Test Suite}\n\\begin{itemize}\n\\item TPassingSuite\n"
                       "\\begin{itemize}\n\\item TestOne\n\\item TestTwo\n\\end{itemize}\n"),
            std::string::npos)
      << latex;
  EXPECT_NE(latex.find("\\item TestPassesThenTearDownFails"), std::string::npos);
}

TEST(PlainReport, SummaryLabelsAndDetails) {
  const std::string t = FixtureReport({"-a", "--format=plain"});
  EXPECT_EQ(t.rfind("Number of run tests: 13\nNumber of errors:    3\nNumber of failures:  4\n\n"
                    "List of errors:\n",
                    0),
            0u)
      << t;
  EXPECT_NE(t.find("\nList of failures:\n"), std::string::npos);
  EXPECT_NE(t.find("\nList of ignored tests:\n  Ignored test: TIgnoredSuite.TestIgnored\n"),
            std::string::npos);
  EXPECT_NE(t.find("  Error: TErrorSuite.TestRaisesQorException\n"
                   "    Message:           TErrorSuite.TestRaisesQorException: boom\n"
                   "    Exception class:   Exception\n"
                   "    Exception message: boom\n"
                   "        at runner_fixture.cpp:"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("  Failure: TFailingSuite.TestAssertEquals\n"), std::string::npos);
  EXPECT_NE(t.find("    Exception message: [SETUP] no broker\n"), std::string::npos);
  // Body: suites with their counts, checks with their problems.
  EXPECT_NE(t.find("  TFailingSuite Time:"), std::string::npos);
  EXPECT_NE(t.find(" N:3 E:0 F:2 I:0\n"), std::string::npos);
  EXPECT_NE(t.find(" TestAssertEquals  Failed: \"Greeting\" expected: <hello> but was: <world>\n"
                   "        Exception:   \"Greeting\" expected: <hello> but was: <world>\n"
                   "        at runner_fixture.cpp:"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find(" TestRaisesStdException  Error: std::runtime_error\n"), std::string::npos);
  EXPECT_NE(t.find(" TestIgnored  Ignored test: not on this machine\n"), std::string::npos);
  // A check with two problems: one result, whose message holds both.
  EXPECT_NE(t.find(" TestFailsThenTearDownFails  Failed: first problem; also [TEARDOWN] cleanup failed\n"
                   "        Exception:   first problem; also [TEARDOWN] cleanup failed\n"
                   "        at runner_fixture.cpp:"),
            std::string::npos)
      << t;
  EXPECT_EQ(t.find("\n\n", t.find("\n\n Time:") + 2), std::string::npos) << "stray empty line";
}

TEST(PlainReport, TimesLeftOutByLayoutOrOption) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-a", "--format=plainnotiming"}, {"-a", "--format=plain", "--skiptiming"}}) {
    const std::string t = FixtureReport(args);
    EXPECT_EQ(t.find("Time:"), std::string::npos) << t;
    EXPECT_NE(t.find("\n    TestOne\n"), std::string::npos) << t;
    EXPECT_NE(t.find("\n  TPassingSuite N:2 E:0 F:0 I:0\n"), std::string::npos) << t;
  }
  const std::string timed = FixtureReport({"--suite=TPassingSuite", "--format=plain"});
  EXPECT_NE(timed.find("TPassingSuite Time:00.0"), std::string::npos) << timed;
  EXPECT_NE(timed.find(" 00.0"), std::string::npos);
}

TEST(PlainReport, SparseKeepsOnlyProblems) {
  const std::string t = FixtureReport({"-a", "--format=plain", "--sparse"});
  EXPECT_EQ(t.find("TestPasses\n"), std::string::npos);
  EXPECT_EQ(t.find("TestOne"), std::string::npos);
  EXPECT_EQ(t.find("Exception message:"), std::string::npos);
  EXPECT_NE(t.find("TestAssertEquals  Failed:"), std::string::npos);
  EXPECT_NE(t.find("    Message:           TFailingSuite.TestAssertEquals"), std::string::npos);
  // Sparse changes neither the XML nor the LaTeX layout.
  EXPECT_EQ(CountOf(FixtureReport({"-a", "--sparse", "--skiptiming"}), "<Test "), 13u);
}

TEST(PlainReport, NoAddressesDropsSummaryLocations) {
  const std::string t = FixtureReport({"-a", "--format=plain", "--no-addresses"});
  const auto bodyStart = t.find("\n\n Time:");
  ASSERT_NE(bodyStart, std::string::npos) << t;
  const std::string summary = t.substr(0, bodyStart);
  EXPECT_EQ(summary.find(" at "), std::string::npos) << summary;
  EXPECT_NE(summary.find("    Exception class:   "), std::string::npos);
  // The body keeps its locations.
  EXPECT_NE(t.find("        at runner_fixture.cpp:", bodyStart), std::string::npos);
}

TEST(LatexReport, EveryNameAndMessageIsEscaped) {
  const std::string t = FixtureReport({"-a", "--format=latex"});
  EXPECT_EQ(t.rfind("\\documentclass[12pt,a4paper]{report}\n", 0), 0u);
  for (const char* part :
       {"\\usepackage{fullpage}", "\\usepackage{color}", "\\definecolor{Blue}{rgb}{0.3,0.3,0.9}",
        "\\definecolor{Pink}{rgb}{1,0,1}", "\\author{Brenk}", "\\title{Unit tests run by Brenk}",
        "\\item[Error:]", "\\item[Exception:]", "\\item[Source unit:] runner\\_fixture.cpp",
        "\\item[Method name:]", "\\item[Line number:]", "FAILED:", "IGNORED TEST:",
        "Number of run tests: & 13", "Number of ignored tests: & 1",
        "\\textless{}b\\textgreater{} \\& \\texttt{\\char34}c\\texttt{\\char34}",
        "e\\_f \\{g\\} \\$h\\% \\#i \\textasciitilde{}j \\textasciicircum{}k \\textbackslash{}l",
        "\\textbackslash{}x01"}) {
    EXPECT_NE(t.find(part), std::string::npos) << part;
  }
  // No unescaped underscore anywhere (every check name has one).
  for (size_t pos = t.find('_'); pos != std::string::npos; pos = t.find('_', pos + 1))
    ASSERT_EQ(t[pos - 1], '\\') << t.substr(pos - 20, 40);
  EXPECT_EQ(CountOf(t, "\\begin{itemize}"), CountOf(t, "\\end{itemize}"));
}

namespace {

// pdflatex's verdict on a document: empty when it compiled, else its log.
std::string PdflatexProblems(const TScratchDir& ADir, const std::string& AName, const std::string& ATex) {
  ADir.Write(AName + ".tex", ATex);
  const std::string cmd = "cd " + ADir.File("") + " && pdflatex -interaction=nonstopmode -halt-on-error " +
                          AName + ".tex >" + AName + ".out 2>&1";
  if (std::system(cmd.c_str()) == 0) return "";
  const std::string log = TScratchDir::Read(ADir.File(AName + ".out"));
  return log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
}

}  // namespace

TEST(LatexReport, CompilesWithPdflatexWhenInstalled) {
  if (std::system("command -v pdflatex >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "pdflatex is not installed";
  TScratchDir dir;
  EXPECT_EQ(PdflatexProblems(dir, "report", FixtureReport({"-a", "--format=latex"})), "");
  EXPECT_EQ(PdflatexProblems(dir, "listing", RunFixture({"-l", "--format=latex"}).Out), "");

  // Names and messages holding every byte value, CJK, emoji, combining
  // marks, TeX syntax, invalid UTF-8 and a mebibyte of text.
  const std::map<std::string, std::string> hostile{{"BRENKCONFIG", kNoDefaults},
                                                   {"QOR_FIXTURE_HOSTILE_TEXTS", "1"}};
  const std::string report = dir.File("hostile.tex");
  RunChild(RUNNER_FIXTURE_EXE, {"-a", "--format=latex", "--file=" + report}, hostile);
  const std::string tex = TScratchDir::Read(report);
  for (const char* part : {"\\texttt{\\char34}payload\\texttt{\\char34} expected: \\textless{}abc\\textgreater{} "
                           "but was: \\textless{}{[}U+4E2D{]}{[}U+6587{]}\\textgreater{}",
                           "a{[}U+0308{]}", "{[}TestCJK{[}U+4E2D{]}{]}", "{[}U+FFFD{]}{[}U+FFFD{]}",
                           "{[}U+1F600{]}", "\xC3\xA4", "more bytes{]}", "backslash \\textbackslash{}"}) {
    EXPECT_NE(tex.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(PdflatexProblems(dir, "hostile", tex), "");
  EXPECT_EQ(PdflatexProblems(dir, "hostile-listing",
                             RunChild(RUNNER_FIXTURE_EXE, {"-l", "--format=latex"}, hostile).Out),
            "");
}
