// The two rules that read the runner's command line. They differ on purpose:
// the check accepts a group of letters after one dash ("-al") when every
// letter is a short option, while the lookup matches the text after the
// dash as a whole, so such a group selects nothing unless it spells a long
// name ("-all" selects "all").
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qor {

struct TLongOption {
  std::string Name;
  bool NeedsValue = false;
};

// Parses the table form: a trailing ":" marks an option that requires a value.
std::vector<TLongOption> ParseLongOptions(const std::vector<std::string>& ATable);

// Empty when every argument passes, else the message for the first one that
// does not. Arguments that do not begin with "-" are not options and pass.
std::string CheckOptions(const std::vector<std::string>& AArgs, const std::string& AShortOptions,
                         const std::vector<TLongOption>& ALongOptions);

// The value of the last argument that names the option (by its letter, when
// AShort is not 0, or by its long name); nothing when none does. The value is
// the text after the first "=" of a long option, empty when there is none.
std::optional<std::string> FindOption(const std::vector<std::string>& AArgs, char AShort,
                                      const std::string& ALong);

}  // namespace qor
