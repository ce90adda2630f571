#include "CommandLine.h"

namespace qor {

namespace {

const TLongOption* FindLong(const std::vector<TLongOption>& ALongOptions, const std::string& AName) {
  for (const auto& o : ALongOptions) {
    if (o.Name == AName) return &o;
  }
  return nullptr;
}

}  // namespace

std::vector<TLongOption> ParseLongOptions(const std::vector<std::string>& ATable) {
  std::vector<TLongOption> result;
  for (const std::string& entry : ATable) {
    const bool needsValue = !entry.empty() && entry.back() == ':';
    result.push_back({needsValue ? entry.substr(0, entry.size() - 1) : entry, needsValue});
  }
  return result;
}

std::string CheckOptions(const std::vector<std::string>& AArgs, const std::string& AShortOptions,
                         const std::vector<TLongOption>& ALongOptions) {
  for (size_t i = 0; i < AArgs.size(); ++i) {
    const std::string& arg = AArgs[i];
    const std::string position = std::to_string(i + 1);
    if (arg.empty() || arg[0] != '-') continue;
    if (arg.size() > 1 && arg[1] == '-') {
      const std::string body = arg.substr(2);
      const auto eq = body.find('=');
      const std::string name = body.substr(0, eq);
      const bool hasValue = eq != std::string::npos;
      const TLongOption* option = FindLong(ALongOptions, name);
      if (!option) return "Invalid option at position " + position + ": \"" + name + "\"";
      if (hasValue && !option->NeedsValue)
        return "Option at position " + position + " does not allow an argument: " + name;
      if (!hasValue && option->NeedsValue)
        return "Option at position " + position + " needs an argument : " + name;
      continue;
    }
    for (size_t j = 1; j < arg.size(); ++j) {
      if (AShortOptions.find(arg[j]) == std::string::npos)
        return "Invalid option at position " + position + ": \"" + std::string(1, arg[j]) + "\"";
    }
  }
  return {};
}

std::optional<std::string> FindOption(const std::vector<std::string>& AArgs, char AShort,
                                      const std::string& ALong) {
  for (auto it = AArgs.rbegin(); it != AArgs.rend(); ++it) {
    const std::string& arg = *it;
    if (arg.empty() || arg[0] != '-') continue;
    std::string name = arg.substr(1);
    std::string value;
    if (!name.empty() && name[0] == '-') {
      name.erase(0, 1);
      const auto eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.erase(eq);
      }
    }
    if ((AShort != 0 && name == std::string(1, AShort)) || name == ALong) return value;
  }
  return std::nullopt;
}

}  // namespace qor
