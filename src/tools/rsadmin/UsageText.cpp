#include "tools/rsadmin/UsageText.h"

#include "tools/rsadmin/Render.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <numeric>

namespace rsadmin {

namespace {

size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({ row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1) });
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<std::string> commandNames(CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

// Option `name` (as typed, without "=value") of `app`, or of an enclosing
// command, as rsadmin lets options fall through; null when there is none.
const CLI::Option* findOption(CLI::App& app, const std::string& name)
{
    for (CLI::App* level = &app; level != nullptr; level = level->get_parent())
        if (const CLI::Option* option = level->get_option_no_throw(name))
            return option;
    return nullptr;
}

std::vector<std::string> optionNames(CLI::App& app)
{
    std::vector<std::string> names;
    for (CLI::App* level = &app; level != nullptr; level = level->get_parent())
        for (const CLI::Option* option : level->get_options()) {
            for (const auto& name : option->get_lnames())
                names.push_back("--" + name);
        }
    return names;
}

// How far the words of a command line reach into the command tree.
struct CommandReach {
    CLI::App* command; // the deepest command named
    std::string path; // "rsadmin module"
    std::string unknownWord; // a word where a command was expected; empty if none
    std::string unknownOption; // the first option that no command has; empty if none
};

CommandReach followCommands(CLI::App& root, const std::vector<std::string>& args)
{
    CommandReach reach { &root, root.get_name(), "", "" };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--")
            break;
        if (arg.size() > 1 && arg[0] == '-') {
            const std::string name = arg.substr(0, arg.find('='));
            const CLI::Option* option = findOption(*reach.command, name);
            if (option == nullptr && reach.unknownOption.empty())
                reach.unknownOption = name;
            if (option != nullptr && name == arg && option->get_items_expected_min() > 0)
                ++i;
            continue;
        }
        const std::vector<std::string> names = commandNames(*reach.command);
        if (names.empty())
            continue; // an argument of the command
        if (std::find(names.begin(), names.end(), arg) == names.end()) {
            reach.unknownWord = arg;
            break;
        }
        reach.command = reach.command->get_subcommand(arg);
        reach.path += " " + arg;
    }
    return reach;
}

} // namespace

std::string nearestName(const std::string& word, const std::vector<std::string>& candidates)
{
    std::string best;
    size_t bestDistance = std::string::npos;
    for (const auto& candidate : candidates) {
        const size_t distance
            = candidate.rfind(word, 0) == 0 && !word.empty() ? 0 : editDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return bestDistance <= std::max<size_t>(1, std::min<size_t>(2, word.size() / 3)) ? best : "";
}

std::string usageMessage(CLI::App& root, const std::vector<std::string>& args, const CLI::ParseError& error)
{
    const CommandReach reach = followCommands(root, args);
    const std::vector<std::string> names = commandNames(*reach.command);
    const std::string help = " See '" + reach.path + " --help'.";
    if (!reach.unknownOption.empty()) {
        const std::string nearest = nearestName(reach.unknownOption, optionNames(*reach.command));
        return "'" + reach.unknownOption + "' is not an option of " + reach.path
            + (nearest.empty() ? "." : "; did you mean '" + nearest + "'?") + help;
    }
    if (!reach.unknownWord.empty()) {
        const std::string nearest = nearestName(reach.unknownWord, names);
        if (!nearest.empty())
            return "'" + reach.unknownWord + "' is not a command of " + reach.path + "; did you mean '"
                + nearest + "'?" + help;
        return "'" + reach.unknownWord + "' is not a command of " + reach.path + " (" + joined(names, ", ")
            + ")." + help;
    }
    if (!names.empty() && dynamic_cast<const CLI::RequiredError*>(&error) != nullptr)
        return reach.path + " needs a command: " + joined(names, ", ") + "." + help;
    return std::string(error.what()) + "." + help;
}

} // namespace rsadmin
