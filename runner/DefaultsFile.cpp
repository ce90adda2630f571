#include "DefaultsFile.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

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
  int errorLine = 0;
  TDefaultsFile result = Parse(text, &errorLine);
  // A line the parser could not take (including one beyond its length limit)
  // is skipped; say so rather than run with a value cut short unnoticed.
  if (errorLine > 0)
    std::cerr << "Defaults file " << APath << ": line " << errorLine << " not understood, skipped"
              << std::endl;
  return result;
}

TDefaultsFile TDefaultsFile::Parse(const std::string& AText, int* AErrorLine) {
  TDefaultsFile result;
  const int status = ini_parse_string(
      AText.c_str(),
      [](void* AUser, const char* ASection, const char* AName, const char* AValue) -> int {
        auto* values = static_cast<std::map<std::string, std::string>*>(AUser);
        if (Lower(ASection) == "defaults" && AName) (*values)[Lower(AName)] = AValue ? AValue : "";
        return 1;
      },
      &result.FValues);
  if (AErrorLine) *AErrorLine = status > 0 ? status : 0;
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
