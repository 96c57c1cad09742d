#include "tools/rsadmin/AdminApp.h"

#include "interfaces/types/HostDeployState.h"
#include "rs/i18n/NarvI18n.h"
#include "tools/rsadmin/AdminCommands.h"
#include "tools/rsadmin/ServiceSession.h"
#include "tools/rsadmin/UsageText.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>

namespace rsadmin {

namespace {

constexpr const char* kVersion = RSADMIN_VERSION;

// A state filter given as a display name ("installed", "NOT STARTED") or a
// number; a number selects exactly that state, one the table does not name
// included, as does the "UNKNOWN(<number>)" that listings show for it.
uint32_t parseStateFilter(const std::string& text)
{
    if (text.empty())
        return rs::HOST_STATE_NONE;
    std::string wanted;
    for (char c : text)
        wanted += c == '_' || c == '-' ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (uint32_t state = 1; state < rs::kHostDeployStateCount; ++state)
        if (wanted == rs::hostDeployStateName(state))
            return state;
    std::string number = text;
    if (wanted.starts_with("UNKNOWN(") && wanted.ends_with(")"))
        number = text.substr(8, text.size() - 9);
    const bool digits = !number.empty() && number.size() <= 10
        && std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c); });
    if (digits && std::stoull(number) <= UINT32_MAX)
        return static_cast<uint32_t>(std::stoull(number));
    throw AdminFailure(kExitUsage,
        "unknown state '" + text + "': use a state name such as INSTALLED or ERROR, or its number");
}

// A number of seconds: above 0, or (`zeroAllowed`) at least 0. The
// parser's own range checks would print the largest double in full.
CLI::Validator seconds(bool zeroAllowed)
{
    return CLI::Validator(
        [zeroAllowed](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool number = !text.empty() && end != nullptr && *end == '\0' && std::isfinite(value);
            if (number && (value > 0 || (zeroAllowed && value == 0)))
                return {};
            return "'" + text + "' is not a number of seconds " + (zeroAllowed ? "(0 or more)" : "above 0");
        },
        zeroAllowed ? "SECONDS>=0" : "SECONDS>0");
}

// The options and positionals of every command, filled by the parser.
struct Arguments {
    std::string name, file, application, version, output, type, reason = "rsadmin shutdown", passwordFile;
    std::vector<std::string> groups;
    std::string state;
    Placement placement;
    double interval = 2.0;
    double maxWait = 0;
    double timeout = 30.0;
    bool watch = false;
};

using Action = std::function<int(AdminCommands&)>;

class CommandLine {
public:
    CommandLine(GlobalOptions& options, Arguments& a)
        : options_(options)
        , a_(a)
    {
        build();
    }
    CLI::App& app() { return app_; }
    const Action& action() const { return action_; }

private:
    CLI::App* command(CLI::App& parent, const char* name, const char* description, Action action)
    {
        CLI::App* sub = parent.add_subcommand(name, description);
        sub->callback([this, action] { action_ = action; });
        return sub;
    }

    void globals()
    {
        app_.require_subcommand(1);
        app_.fallthrough();
        app_.set_version_flag(
            "--version", std::string("rsadmin ") + kVersion, "show rsadmin's version and exit");
        app_.add_option("--server", options_.server,
            "service address HOST:PORT (else RS_SERVER, else the address registered as RS_DEPLOY)");
        app_.add_option("--user", options_.user, "user to log on as (else RS_USER)");
        app_.add_option("--password-file", options_.passwordFile,
            "file whose first line is the password (else RS_PASSWORD, else a prompt)");
        app_.add_option("--consumer", options_.consumer,
            "consumer to work for (else RS_CONSUMER; none: the global module index; package commands need "
            "one)");
        app_.add_flag("--json", options_.json, "machine-readable output");
        app_.add_option("--piece-size", options_.pieceSize, "bytes per upload or download piece")
            ->check(CLI::Range(size_t(1), size_t(1) << 30));
        app_.add_option("--timeout", a_.timeout, "seconds to wait for each answer")->check(seconds(false));
    }

    void build()
    {
        globals();
        command(app_, "version", "show the service's version (no logon needed)",
            [](AdminCommands& c) { return c.version(); });
        command(app_, "shutdown", "stop the service", [this](AdminCommands& c) {
            return c.shutdown(a_.reason);
        })->add_option("--reason", a_.reason, "why (logged by nobody, kept for the record)");
        modules(*app_.add_subcommand("module", "modules of the repository")->require_subcommand(1));
        packages(*app_.add_subcommand("package", "application packages and their deployment")
                      ->require_subcommand(1));
        users(*app_.add_subcommand("user", "the password file of the sec_passwd plug-in")
                   ->require_subcommand(1));
        cluster(*app_.add_subcommand("cluster", "what the resource manager offers (reads ZOR_CLUSTER_FILE)")
                     ->require_subcommand(1));
    }

    void modules(CLI::App& m)
    {
        auto add = command(m, "add", "upload a module (a new version when it exists)",
            [this](AdminCommands& c) { return c.moduleAdd(a_.name, a_.file); });
        add->add_option("NAME", a_.name, "module name")->required();
        add->add_option("FILE", a_.file, "file to upload")->required();
        command(m, "list", "list the modules", [](AdminCommands& c) { return c.moduleList(); });
        auto get = command(m, "get", "download a module",
            [this](AdminCommands& c) { return c.moduleGet(a_.name, a_.version, a_.output); });
        get->add_option("NAME", a_.name, "module name")->required();
        get->add_option("--version", a_.version, "version to fetch (default: the current one)");
        get->add_option(
            "-o,--output", a_.output, "file to write, - for standard output (default: the stored file name)");
        for (bool link : { true, false }) {
            auto sub = command(m, link ? "link" : "unlink",
                link ? "link an application to a module" : "unlink an application",
                [this, link](AdminCommands& c) { return c.moduleLink(a_.application, a_.name, link); });
            sub->add_option("APPLICATION", a_.application, "application name")->required();
            sub->add_option("NAME", a_.name, "module name")->required();
        }
        command(m, "remove", "remove a module without linked applications",
            [this](AdminCommands& c) { return c.moduleRemove(a_.name); })
            ->add_option("NAME", a_.name, "module name")
            ->required();
    }

    void packageName(CLI::App* sub, bool withType)
    {
        sub->add_option("NAME", a_.name, "package name")->required();
        if (withType)
            sub->add_option("--type", a_.type, "package type (stored as NAME.type_TYPE)");
    }

    void placement(CLI::App* sub)
    {
        packageName(sub, false);
        sub->add_option("--group", a_.placement.group, "resource group whose hosts receive it")->required();
        sub->add_option("--host", a_.placement.host, "only this host of the group");
    }

    void packages(CLI::App& p)
    {
        auto add = command(p, "add", "upload a package",
            [this](AdminCommands& c) { return c.packageAdd(a_.name, a_.type, a_.file); });
        packageName(add, true);
        add->add_option("FILE", a_.file, "package file")->required();
        command(p, "list", "list the packages", [](AdminCommands& c) { return c.packageList(); });
        auto get = command(p, "get", "download a package",
            [this](AdminCommands& c) { return c.packageGet(a_.name, a_.type, a_.output); });
        packageName(get, true);
        get->add_option(
            "-o,--output", a_.output, "file to write, - for standard output (default: the stored file name)");
        packageName(command(p, "remove", "remove a package",
                        [this](AdminCommands& c) { return c.packageRemove(a_.name, a_.type); }),
            true);
        using Deploy = AdminCommands::Deploy;
        const std::tuple<const char*, const char*, Deploy> deploys[] = {
            { "install", "install on the hosts of a resource group", Deploy::install },
            { "recheck", "install again on every host, forgetting earlier results", Deploy::recheck },
            { "uninstall", "uninstall from the hosts of a resource group", Deploy::uninstall },
        };
        for (const auto& [name, description, kind] : deploys)
            placement(command(p, name, description, [this, kind = kind](AdminCommands& c) {
                return c.packageDeploy(kind, a_.name, a_.placement);
            }));
        packageName(command(p, "cancel", "cancel hosts that have not started running",
                        [this](AdminCommands& c) { return c.packageCancel(a_.name); }),
            false);
        auto status
            = command(p, "status", "show the deployment state of every host", [this](AdminCommands& c) {
                  StatusQuery query { parseStateFilter(a_.state), a_.watch,
                      std::chrono::milliseconds(static_cast<long>(a_.interval * 1000)),
                      std::chrono::milliseconds(static_cast<long>(a_.maxWait * 1000)) };
                  return c.packageStatus(a_.name, query);
              });
        packageName(status, false);
        status->add_option("--state", a_.state, "only hosts in this state (name or number)");
        status->add_flag(
            "--watch", a_.watch, "follow the hosts until the package has hosts and all are final");
        status->add_option("--interval", a_.interval, "seconds between readings")->check(seconds(false));
        status
            ->add_option("--max-wait", a_.maxWait, "with --watch: give up after this many seconds (0: never)")
            ->check(seconds(true));
    }

    void users(CLI::App& u)
    {
        for (bool change : { false, true }) {
            auto sub
                = command(u, change ? "passwd" : "add", change ? "change a user's password" : "add a user",
                    [this, change](AdminCommands& c) { return c.userSet(a_.passwordFile, a_.name, change); });
            sub->add_option("NAME", a_.name, "user name")->required();
            sub->add_option(
                "-f,--file", a_.passwordFile, "password file (default: the QEL_SEC_CONF parameter)");
        }
    }

    void cluster(CLI::App& c)
    {
        command(c, "groups", "resource groups and their hosts", [this](AdminCommands& commands) {
            return commands.clusterGroups(a_.groups);
        })->add_option("GROUP", a_.groups, "only these groups (default: every group)");
        command(c, "consumers", "consumers, with the role of --user (or RS_USER) on each",
            [](AdminCommands& commands) { return commands.clusterConsumers(); });
    }

    CLI::App app_ { "rsadmin: operate the repository service (modules, packages and their deployment)",
        "rsadmin" };
    GlobalOptions& options_;
    Arguments& a_;
    Action action_;
};

// With --json a failure is a document too, so that scripts read one format.
nlohmann::json failureJson(const AdminFailure& failure)
{
    nlohmann::json json = { { "ok", false }, { "exitStatus", static_cast<int>(failure.status()) },
        { "message", failure.what() } };
    if (failure.code() != 0)
        json["code"] = hexCode(failure.code());
    if (!failure.detail().empty())
        json["detail"] = nlohmann::json::parse(failure.detail());
    return json;
}

// Usage errors, like every failure, are a document under --json, which the
// parser may not have reached when it stopped.
bool wantsJson(const std::vector<std::string>& args)
{
    for (const auto& arg : args) {
        if (arg == "--")
            return false;
        if (arg == "--json")
            return true;
    }
    return false;
}

int reportFailure(const AdminFailure& failure, bool json, AdminIo& io)
{
    io.err << "rsadmin: " << failure.what() << "\n";
    if (json)
        io.out << failureJson(failure).dump(2) << "\n";
    return failure.status();
}

void openCatalogue()
{
    kav::NarvI18n& catalogue = kav::NarvI18n::instance();
    if (!catalogue.isInitialised())
        catalogue.init(); // without it refusals show their code alone
}

} // namespace

int runAdmin(const std::vector<std::string>& args, AdminIo& io, const AdminHooks& hooks)
{
    GlobalOptions options;
    Arguments arguments;
    CommandLine line(options, arguments);
    std::vector<const char*> argv { "rsadmin" };
    for (const auto& arg : args)
        argv.push_back(arg.c_str());
    try {
        line.app().parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForVersion&) {
        if (wantsJson(args))
            io.out << nlohmann::json({ { "ok", true }, { "rsadmin", kVersion } }).dump(2) << "\n";
        else
            io.out << "rsadmin " << kVersion << "\n";
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0)
            return line.app().exit(error, io.out, io.err) == 0 ? kExitOk : kExitUsage; // --help
        return reportFailure(
            AdminFailure(kExitUsage, usageMessage(line.app(), args, error)), wantsJson(args), io);
    }
    options.timeout = std::chrono::milliseconds(static_cast<long>(arguments.timeout * 1000));
    openCatalogue();
    try {
        AdminCommands commands(options, io, hooks.lookup, hooks.clock);
        return line.action()(commands);
    } catch (const AdminFailure& failure) {
        return reportFailure(failure, options.json, io);
    }
}

} // namespace rsadmin
