// Running QORTests and the runner fixture as a user would, with the
// defaults file pinned so that no stray file beside the executables counts.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"

inline const std::string kNoDefaults = "/nonexistent/qor-test-defaults.ini";

inline TChildResult RunQORTests(const std::vector<std::string>& AArgs,
                                const std::string& ADefaults = kNoDefaults) {
  return RunChild(QORTESTS_EXE, AArgs, {{"BRENKCONFIG", ADefaults}});
}

inline TChildResult RunFixture(const std::vector<std::string>& AArgs,
                               const std::string& ADefaults = kNoDefaults) {
  return RunChild(RUNNER_FIXTURE_EXE, AArgs, {{"BRENKCONFIG", ADefaults}});
}

// The fixture with only its two passing checks registered: "--all" runs
// exactly those, prints nothing of its own and exits 0.
inline TChildResult RunPassing(const std::vector<std::string>& AArgs,
                               const std::string& ADefaults = kNoDefaults) {
  return RunChild(RUNNER_FIXTURE_EXE, AArgs,
                  {{"BRENKCONFIG", ADefaults}, {"QOR_FIXTURE_PASSING_ONLY", "1"}});
}

// A scratch directory of its own for each test, removed afterwards.
class TScratchDir {
 public:
  TScratchDir() {
    char name[] = "/tmp/qortest-XXXXXX";
    FPath = mkdtemp(name);
  }
  ~TScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string File(const std::string& AName) const { return (FPath / AName).string(); }
  std::string Write(const std::string& AName, const std::string& AText) const {
    std::ofstream(File(AName), std::ios::binary) << AText;
    return File(AName);
  }
  static std::string Read(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::filesystem::path FPath;
};

inline size_t CountOf(const std::string& AText, const std::string& APart) {
  size_t n = 0;
  for (size_t pos = AText.find(APart); pos != std::string::npos; pos = AText.find(APart, pos + 1)) ++n;
  return n;
}
