#include "DefaultsFile.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string_view>
#include <vector>

namespace qor {

namespace {

std::string Lower(std::string AText) {
  std::transform(AText.begin(), AText.end(), AText.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return AText;
}

std::filesystem::path ExecutableDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

}  // namespace

std::string TDefaultsFile::Path() {
  const char* env = std::getenv("BRENKCONFIG");
  if (env && *env) return env;
  return (ExecutableDirectory() / "testdefaults.ini").string();
}

TDefaultsFile TDefaultsFile::Read(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) return {};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> notes;
  TDefaultsFile result = Parse(text, &notes);
  // Say what was skipped rather than run with a value left out unnoticed.
  for (const std::string& note : notes) std::cerr << "Defaults file " << APath << ": " << note << std::endl;
  return result;
}

TDefaultsFile TDefaultsFile::Parse(const std::string& AText, std::vector<std::string>* ANotes) {
  // inih reads a longer line in pieces: the first cut short, the rest as
  // lines of their own that may set keys. Such a line is blanked before inih
  // sees it, which keeps the line numbers of everything after it.
  std::string text;
  text.reserve(AText.size());
  int lineNumber = 0;
  for (size_t start = 0; start < AText.size();) {
    size_t end = AText.find('\n', start);
    end = end == std::string::npos ? AText.size() : end + 1;
    const std::string_view line(AText.data() + start, end - start);
    ++lineNumber;
    size_t length = line.size();
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length > kMaxLineLength) {
      if (ANotes)
        ANotes->push_back("line " + std::to_string(lineNumber) + " is longer than " +
                          std::to_string(kMaxLineLength) + " characters, skipped");
      text += '\n';
    } else {
      text.append(line);
    }
    start = end;
  }

  TDefaultsFile result;
  const int status = ini_parse_string(
      text.c_str(),
      [](void* AUser, const char* ASection, const char* AName, const char* AValue) -> int {
        auto* values = static_cast<std::map<std::string, std::string>*>(AUser);
        if (Lower(ASection) == "defaults" && AName) (*values)[Lower(AName)] = AValue ? AValue : "";
        return 1;
      },
      &result.FValues);
  // inih names the first line it could not take.
  if (status > 0 && ANotes) ANotes->push_back("line " + std::to_string(status) + " not understood, skipped");
  return result;
}

std::optional<std::string> TDefaultsFile::Value(const std::string& AKey) const {
  const auto it = FValues.find(Lower(AKey));
  if (it == FValues.end()) return std::nullopt;
  return it->second;
}

std::optional<bool> TDefaultsFile::Boolean(const std::string& AKey) const {
  const auto value = Value(AKey);
  if (!value || value->empty()) return std::nullopt;
  return (*value)[0] == '1';
}

}  // namespace qor
