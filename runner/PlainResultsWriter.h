// The plain-text report (with or without times) and registry listing.
#pragma once

#include "ResultsWriter.h"

namespace qor {

class TPlainResultsWriter : public TCustomResultsWriter {
 public:
  using TCustomResultsWriter::TCustomResultsWriter;
  void WriteResult() override;
  // The report's text, as WriteResult writes it.
  std::string ReportText() const;
};

// "TestSuites: " then one line per suite and per check, each ending in CR LF.
std::string PlainListing(const TTestSuite& ARoot);

}  // namespace qor
