// The runner's defaults file: an INI file whose section "defaults" holds
// default values for the long options.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qor {

class TDefaultsFile {
 public:
  // The value of BRENKCONFIG when it is set and not empty, otherwise
  // "testdefaults.ini" in the directory that holds the running executable.
  static std::string Path();

  // Reads the section "defaults" of APath. A missing file reads as empty.
  // Section and key names match without regard to case.
  static TDefaultsFile Read(const std::string& APath);
  // The same from the file's text. A line over kMaxLineLength characters is
  // skipped whole; ANotes (when given) receives a note for it and for the
  // first other line that could not be read.
  static TDefaultsFile Parse(const std::string& AText, std::vector<std::string>* ANotes = nullptr);
  // The longest line inih takes whole, without its line end.
  static constexpr size_t kMaxLineLength = 199;

  std::optional<std::string> Value(const std::string& AKey) const;
  // A Boolean is true exactly when its first character is "1"; an absent or
  // empty value gives nothing, so the current setting stays.
  std::optional<bool> Boolean(const std::string& AKey) const;

 private:
  std::map<std::string, std::string> FValues;  // keys lower-cased
};

}  // namespace qor
