// The XML report (the default layout) and registry listing, built as a
// pugixml document.
#pragma once

#include <pugixml.hpp>

#include "ResultsWriter.h"

namespace qor {

class TXMLResultsWriter : public TCustomResultsWriter {
 public:
  explicit TXMLResultsWriter(TWriterSettings ASettings);

  // The runner's additions, made before any check runs: a "Title" element
  // after the listing, and an optional stylesheet processing instruction.
  void AddTitle(const std::string& ATitle);
  void AddStyleSheet(const std::string& AReference);

  // Writes to the file name, standard output when it is empty, nowhere when it is "null".
  void WriteResult() override;
  // Completes the document and returns it as text.
  std::string ReportText();

 private:
  void AddNode(pugi::xml_node AParent, const TResultNode& ANode);

  pugi::xml_document FDoc;
  pugi::xml_node FRoot;
  pugi::xml_node FListing;
  bool FCompleted = false;
};

std::string XMLListing(const TTestSuite& ARoot);

}  // namespace qor
