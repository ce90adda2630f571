#include "XMLResultsWriter.h"

#include <sstream>

namespace qor {

namespace {

const char* ResultText(TOutcome AOutcome) {
  switch (AOutcome) {
    case toFailed: return "Failed";
    case toIgnored: return "Ignored";
    case toError: return "Error";
    default: return "OK";
  }
}

void SetText(pugi::xml_node ANode, const std::string& AText) {
  ANode.text().set(XmlSafeText(AText).c_str());
}

void AddElement(pugi::xml_node AParent, const char* AName, const std::string& AText) {
  SetText(AParent.append_child(AName), AText);
}

void SetAttribute(pugi::xml_node ANode, const char* AName, const std::string& AValue) {
  ANode.append_attribute(AName).set_value(XmlSafeText(AValue).c_str());
}

std::string Save(const pugi::xml_document& ADoc) {
  std::ostringstream out;
  ADoc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

pugi::xml_node AddDeclaration(pugi::xml_document& ADoc) {
  pugi::xml_node decl = ADoc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "utf-8";
  return decl;
}

void ListTest(pugi::xml_node AParent, const TTest& ATest) {
  const auto* suite = dynamic_cast<const TTestSuite*>(&ATest);
  if (!suite) {
    SetAttribute(AParent.append_child("Test"), "name", ATest.Name());
    return;
  }
  pugi::xml_node node = AParent;
  if (!suite->Name().empty()) {
    node = AParent.append_child("Suite");
    SetAttribute(node, "Name", suite->Name());
  }
  for (const TTest* t : suite->Tests()) ListTest(node, *t);
}

}  // namespace

TXMLResultsWriter::TXMLResultsWriter(TWriterSettings ASettings)
    : TCustomResultsWriter(std::move(ASettings)) {
  AddDeclaration(FDoc);
  FRoot = FDoc.append_child("TestResults");
  FRoot.append_child(pugi::node_comment)
      .set_value((" Generated using Brenk on " + FormatDateTime(StartedAt()) + " ").c_str());
  FListing = FRoot.append_child("TestListing");
}

void TXMLResultsWriter::AddTitle(const std::string& ATitle) {
  AddElement(FRoot, "Title", ATitle);
}

void TXMLResultsWriter::AddStyleSheet(const std::string& AReference) {
  if (AReference.empty()) return;
  // A processing instruction has no escaping of its own: keep the reference
  // inside its quotes and the instruction unterminated by it.
  std::string ref;
  for (char c : XmlSafeText(AReference)) {
    if (c == '"') {
      ref += "&quot;";
    } else if (c == '>' && !ref.empty() && ref.back() == '?') {
      ref += "&gt;";
    } else {
      ref += c;
    }
  }
  pugi::xml_node pi = FDoc.insert_child_before(pugi::node_pi, FRoot);
  pi.set_name("xml-stylesheet");
  pi.set_value(("type=\"text/xsl\" href=\"" + ref + "\"").c_str());
}

void TXMLResultsWriter::AddNode(pugi::xml_node AParent, const TResultNode& ANode) {
  const bool timing = !Settings().SkipTiming;
  if (ANode.IsSuite) {
    pugi::xml_node suite = AParent.append_child("TestSuite");
    SetAttribute(suite, "Name", ANode.Name);
    if (ANode.Ended) {
      if (timing) SetAttribute(suite, "ElapsedTime", FormatElapsedXML(ANode.Elapsed));
      SetAttribute(suite, "NumberOfRunTests", std::to_string(ANode.RunTests));
      SetAttribute(suite, "NumberOfErrors", std::to_string(ANode.Errors));
      SetAttribute(suite, "NumberOfFailures", std::to_string(ANode.Failures));
      SetAttribute(suite, "NumberOfIgnoredTests", std::to_string(ANode.Ignored));
    }
    for (const auto& child : ANode.Children) AddNode(suite, *child);
    return;
  }
  pugi::xml_node test = AParent.append_child("Test");
  SetAttribute(test, "Name", ANode.Name);
  SetAttribute(test, "Result", ResultText(ANode.Outcome));
  if (timing) SetAttribute(test, "ElapsedTime", FormatElapsedXML(ANode.Elapsed));
  // The record that decided the outcome describes the check.
  for (const TTestFailure& p : ANode.Problems) {
    const TOutcome kind = p.IsFailure ? (p.IsIgnored ? toIgnored : toFailed) : toError;
    if (kind != ANode.Outcome) continue;
    AddElement(test, "Message", p.AsString());
    AddElement(test, "ExceptionClass", p.ExceptionClassName);
    AddElement(test, "ExceptionMessage", p.ExceptionMessage());
    if (kind == toError) {
      AddElement(test, "SourceUnitName", p.SourceUnitName);
      AddElement(test, "LineNumber", std::to_string(p.LineNumber));
      AddElement(test, "FailedMethodName", p.FailedMethodName);
    }
    break;
  }
}

std::string TXMLResultsWriter::ReportText() {
  if (!FCompleted) {
    FCompleted = true;
    for (const auto& child : Top().Children) AddNode(FListing, *child);
    AddElement(FRoot, "NumberOfRunTests", std::to_string(Top().RunTests));
    AddElement(FRoot, "NumberOfErrors", std::to_string(Top().Errors));
    AddElement(FRoot, "NumberOfFailures", std::to_string(Top().Failures));
    AddElement(FRoot, "NumberOfIgnoredTests", std::to_string(Top().Ignored));
    if (!Settings().SkipTiming) AddElement(FRoot, "TotalElapsedTime", FormatElapsedXML(TotalElapsed()));
    AddElement(FRoot, "DateTimeRan", FormatDateTime(StartedAt()));
  }
  return Save(FDoc);
}

void TXMLResultsWriter::WriteResult() {
  const std::string text = ReportText();
  if (Settings().FileName != "null") WriteReportText(Settings().FileName, text);
}

std::string XMLListing(const TTestSuite& ARoot) {
  pugi::xml_document doc;
  AddDeclaration(doc);
  ListTest(doc.append_child("TestSuites"), ARoot);
  return Save(doc);
}

}  // namespace qor
