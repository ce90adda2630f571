#include "CustomApplication.h"

#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "CommandLine.h"
#include "uQORException.h"

namespace qor {

TCustomApplication::TCustomApplication(int AArgc, const char* const* AArgv) {
  if (AArgc > 0 && AArgv[0]) FExeName = AArgv[0];
  for (int i = 1; i < AArgc; ++i) FParams.emplace_back(AArgv[i] ? AArgv[i] : "");
}

void TCustomApplication::Run() {
  do {
    try {
      DoRun();
    } catch (...) {
      HandleException(std::current_exception());
      if (StopOnException) Terminate();
    }
  } while (!FTerminated);
}

bool TCustomApplication::HasOption(char AShort, const std::string& ALong) const {
  return FindOption(FParams, AShort, ALong).has_value();
}

std::string TCustomApplication::GetOptionValue(const std::string& ALong) const {
  return FindOption(FParams, 0, ALong).value_or("");
}

std::string TCustomApplication::ExceptionReport(std::exception_ptr AError) {
  const TErrorDescription d = DescribeError(AError);
  const void* address = nullptr;
  try {
    std::rethrow_exception(AError);
  } catch (const Exception& e) {
    address = e.Address();
  } catch (...) {
  }
  char head[64];
  std::snprintf(head, sizeof head, "Exception at %016" PRIXPTR ": ",
                reinterpret_cast<uintptr_t>(address));
  std::string text = head + d.ClassName + ":\n" + d.Message;
  if (text.empty() || text.back() != '.') text += '.';
  if (text.size() > 255) text.resize(255);
  return text;
}

void TCustomApplication::HandleException(std::exception_ptr AError) {
  std::cout << ExceptionReport(AError) << std::endl;
  ExitCode |= ExceptionExitCode;
}

}  // namespace qor
