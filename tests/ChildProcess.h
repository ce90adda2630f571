// Starts a program as a child process and collects what it prints and its
// exit code, as a user's shell or CI would see them.
#pragma once

#include <map>
#include <string>
#include <vector>

struct TChildResult {
  std::string Out;
  std::string Err;
  int ExitCode = -1;  // -1 when the child did not exit normally
};

// AEnv entries are set in the child on top of the parent's environment; an
// entry with an empty value is set empty, not removed.
TChildResult RunChild(const std::string& AProgram, const std::vector<std::string>& AArgs,
                      const std::map<std::string, std::string>& AEnv = {});
