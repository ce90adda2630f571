// A console application: a title, a run loop that repeats the run step until
// the application is terminated, command-line access, and the standard
// report of an exception that escapes the run step.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace qor {

class TCustomApplication {
 public:
  TCustomApplication(int AArgc, const char* const* AArgv);
  virtual ~TCustomApplication() = default;
  TCustomApplication(const TCustomApplication&) = delete;
  TCustomApplication& operator=(const TCustomApplication&) = delete;

  std::string Title;
  bool StopOnException = false;
  // Added (as bits) to the exit code when an exception ends the run.
  int ExceptionExitCode = 0;
  int ExitCode = 0;

  void Initialize() { FTerminated = false; }
  void Run();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }

  // The arguments after the program name.
  const std::vector<std::string>& Params() const { return FParams; }
  // The program's path as it was started.
  const std::string& ExeName() const { return FExeName; }

  bool HasOption(char AShort, const std::string& ALong) const;
  bool HasOption(const std::string& ALong) const { return HasOption(0, ALong); }
  std::string GetOptionValue(const std::string& ALong) const;

  // "Exception at <address>: <class>:" and the message on the next line,
  // ending in a full stop, at most 255 characters.
  static std::string ExceptionReport(std::exception_ptr AError);

 protected:
  virtual void DoRun() = 0;
  virtual void HandleException(std::exception_ptr AError);

 private:
  bool FTerminated = false;
  std::string FExeName;
  std::vector<std::string> FParams;
};

}  // namespace qor
