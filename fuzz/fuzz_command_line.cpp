// The runner's command line and defaults file on any input: no crash, no
// undefined behaviour. The first byte chooses: even, an argument list (split
// at zero bytes); odd, the text of a defaults file.
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DefaultsFile.h"
#include "TestRunner.h"

namespace {

void TryFormat(const std::string& AValue) {
  try {
    qor::ParseFormat(AValue);
  } catch (const qor::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
  const std::vector<std::string> keys{"format",     "file",   "stylesheet",   "progress", "skiptiming",
                                      "sparse",     "no-addresses", "suite", "all",      "list"};
  if (AData[0] % 2 == 0) {
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == '\0') {
        args.push_back(text.substr(start, i - start));
        start = i + 1;
      }
    }
    const auto longs = qor::ParseLongOptions(qor::TTestRunner::LongOptionTable());
    if (qor::CheckOptions(args, "alhp", longs).empty()) {
      for (const auto& o : longs) {
        const auto value = qor::FindOption(args, o.Name.size() == 1 ? o.Name[0] : 0, o.Name);
        if (value && o.Name == "format") TryFormat(*value);
      }
    }
  } else {
    std::vector<std::string> notes;
    const qor::TDefaultsFile ini = qor::TDefaultsFile::Parse(text, &notes);
    for (const auto& key : keys) {
      ini.Boolean(key);
      if (const auto value = ini.Value(key); value && key == "format") TryFormat(*value);
    }
  }
  return 0;
}
