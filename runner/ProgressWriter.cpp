#include "ProgressWriter.h"

#include <iostream>

namespace qor {

TProgressWriter::~TProgressWriter() { std::cout << std::endl; }

void TProgressWriter::Write(char AChar) {
  if (FQuiet) return;
  std::cout << AChar << std::flush;
}

void TProgressWriter::StartTest(const TTestCheck&) { FPassing = true; }

void TProgressWriter::AddFailure(const TTestCheck&, const TTestFailure& AFailure) {
  FPassing = false;
  ++(AFailure.IsIgnored ? FIgnored : FFailures);
  Write('F');
}

void TProgressWriter::AddError(const TTestCheck&, const TTestFailure&) {
  FPassing = false;
  ++FErrors;
  Write('E');
}

void TProgressWriter::EndTest(const TTestCheck&) {
  if (FPassing) Write('.');
}

}  // namespace qor
