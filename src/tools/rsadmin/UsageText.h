#pragma once
// What rsadmin says when its command line does not parse: which word is
// not a command and which command was probably meant, which command still
// needs a sub-command, or else the parser's own reason; and where the help
// is. Pure functions over the parser's command tree; single-threaded.

#include <string>
#include <vector>

namespace CLI {
class App;
class ParseError;
} // namespace CLI

namespace rsadmin {

// The message (without the "rsadmin: " prefix) for `error`, raised while
// `root` parsed `args` (without the program name).
std::string usageMessage(CLI::App& root, const std::vector<std::string>& args, const CLI::ParseError& error);

// The one of `candidates` nearest to `word` when it is near enough to be a
// typing slip (a few letters apart, or its beginning); empty otherwise.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);

} // namespace rsadmin
