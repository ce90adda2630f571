// The LaTeX report and registry listing. Every name and message is escaped,
// so the documents compile whatever the checks are called or report.
#pragma once

#include "ResultsWriter.h"

namespace qor {

class TLatexResultsWriter : public TCustomResultsWriter {
 public:
  using TCustomResultsWriter::TCustomResultsWriter;
  void WriteResult() override;
  std::string ReportText() const;
};

std::string LatexListing(const TTestSuite& ARoot);

}  // namespace qor
