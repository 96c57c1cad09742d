#include "platform/zor/ClusterDescription.h"

#include <toml++/toml.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace zor {

namespace {

// Reads one table of the file and reports every fault with file, line and key.
class Reader {
public:
    explicit Reader(std::string file)
        : file_(std::move(file))
    {
    }

    [[noreturn]] void fail(const toml::node* node, const std::string& key, const std::string& what) const
    {
        std::string line = node ? std::to_string(node->source().begin.line) : "?";
        throw DescriptionError(file_ + ":" + line + ": key '" + key + "': " + what);
    }

    const toml::table* table(const toml::node* node, const std::string& key) const
    {
        if (!node->is_table())
            fail(node, key, "expected a table");
        return node->as_table();
    }

    std::string string(const toml::table& t, const std::string& scope, const char* key, bool required,
        std::string fallback = {}) const
    {
        const toml::node* n = t.get(key);
        if (!n) {
            if (required)
                fail(&t, scope + key, "missing");
            return fallback;
        }
        if (!n->is_string())
            fail(n, scope + key, "expected a string");
        return n->as_string()->get();
    }

    int64_t integer(
        const toml::table& t, const std::string& scope, const char* key, int64_t fallback, int64_t min) const
    {
        const toml::node* n = t.get(key);
        if (!n)
            return fallback;
        if (!n->is_integer())
            fail(n, scope + key, "expected an integer");
        int64_t v = n->as_integer()->get();
        if (v < min)
            fail(n, scope + key, "must be at least " + std::to_string(min));
        return v;
    }

    double number(const toml::table& t, const std::string& scope, const char* key, double fallback) const
    {
        const toml::node* n = t.get(key);
        if (!n)
            return fallback;
        if (auto v = n->value<double>(); v && *v > 0)
            return *v;
        fail(n, scope + key, "expected a positive number");
    }

    bool boolean(const toml::table& t, const std::string& scope, const char* key) const
    {
        const toml::node* n = t.get(key);
        if (!n)
            return false;
        if (!n->is_boolean())
            fail(n, scope + key, "expected true or false");
        return n->as_boolean()->get();
    }

    // Every element of an array of tables.
    std::vector<const toml::table*> tables(const toml::table& root, const char* key) const
    {
        std::vector<const toml::table*> out;
        const toml::node* n = root.get(key);
        if (!n)
            return out;
        if (!n->is_array_of_tables())
            fail(n, key, "expected [[" + std::string(key) + "]] entries");
        for (const toml::node& e : *n->as_array())
            out.push_back(e.as_table());
        return out;
    }

    void onlyKeys(const toml::table& t, const std::string& scope, std::set<std::string> allowed) const
    {
        for (auto&& [k, v] : t)
            if (!allowed.count(std::string(k.str())))
                fail(&v, scope + std::string(k.str()), "unknown key");
    }

private:
    std::string file_;
};

std::string defaultStateDir()
{
    if (const char* dir = std::getenv("ZOR_STATE_DIR"); dir && *dir)
        return dir;
    const char* home = std::getenv("NARV_HOME");
    std::filesystem::path base
        = home && *home ? std::filesystem::path(home) : std::filesystem::current_path();
    return (base / "var" / "cluster").string();
}

void readHosts(const Reader& r, const toml::table& root, ClusterDescription& d)
{
    for (const toml::table* h : r.tables(root, "hosts")) {
        r.onlyKeys(
            *h, "hosts.", { "name", "type", "slots", "cpuf", "fail_start", "unavailable", "alloc_delay_ms" });
        HostInfo host;
        host.name = r.string(*h, "hosts.", "name", true);
        if (host.name.empty() || host.name.find_first_of("/ \t") != std::string::npos || host.name == "."
            || host.name == "..")
            r.fail(h->get("name"), "hosts.name", "not a valid host name");
        host.type = r.string(*h, "hosts.", "type", false, host.type);
        host.slots = static_cast<int>(r.integer(*h, "hosts.", "slots", 1, 1));
        host.cpuf = r.number(*h, "hosts.", "cpuf", 1.0);
        host.failStart = r.boolean(*h, "hosts.", "fail_start");
        host.unavailable = r.boolean(*h, "hosts.", "unavailable");
        host.allocDelayMs = static_cast<int>(r.integer(*h, "hosts.", "alloc_delay_ms", 0, 0));
        if (d.findHost(host.name))
            r.fail(h->get("name"), "hosts.name", "host '" + host.name + "' listed twice");
        d.hosts.push_back(host);
    }
    if (d.hosts.empty())
        r.fail(&root, "hosts", "at least one [[hosts]] entry is needed");
    std::sort(d.hosts.begin(), d.hosts.end(), [](auto& a, auto& b) { return a.name < b.name; });
}

void readGroups(const Reader& r, const toml::table& root, ClusterDescription& d)
{
    if (const toml::node* n = root.get("groups")) {
        for (auto&& [k, v] : *r.table(n, "groups")) {
            std::string key = "groups." + std::string(k.str());
            if (!v.is_array())
                r.fail(&v, key, "expected an array of host names");
            std::vector<std::string> members;
            for (const toml::node& e : *v.as_array()) {
                if (!e.is_string())
                    r.fail(&e, key, "expected a host name");
                std::string name = e.as_string()->get();
                if (!d.findHost(name))
                    r.fail(&e, key, "unknown host '" + name + "'");
                members.push_back(name);
            }
            std::sort(members.begin(), members.end());
            members.erase(std::unique(members.begin(), members.end()), members.end());
            d.groups[std::string(k.str())] = members;
        }
    }
    if (!d.groups.count(kInternalGroup))
        for (const HostInfo& h : d.hosts)
            d.groups[kInternalGroup].push_back(h.name);
}

void readConsumersAndRoles(const Reader& r, const toml::table& root, ClusterDescription& d)
{
    for (const toml::table* c : r.tables(root, "consumers")) {
        r.onlyKeys(*c, "consumers.", { "path" });
        std::string path = normaliseConsumerPath(r.string(*c, "consumers.", "path", true));
        if (path == "/")
            r.fail(c->get("path"), "consumers.path", "empty consumer path");
        d.consumers.push_back(path);
    }
    for (const toml::table* t : r.tables(root, "roles")) {
        r.onlyKeys(*t, "roles.", { "user", "consumer", "level" });
        RoleInfo role;
        role.user = r.string(*t, "roles.", "user", true);
        role.consumer = normaliseConsumerPath(r.string(*t, "roles.", "consumer", true));
        role.level = static_cast<int>(r.integer(*t, "roles.", "level", 3, 1));
        if (role.level > 3)
            r.fail(t->get("level"), "roles.level", "must be 1, 2 or 3");
        d.roles.push_back(role);
    }
}

// [slurm]: the controller's configuration and the mapping of our names.
void readSlurm(const Reader& r, const toml::table& root, ClusterDescription& d)
{
    SlurmSettings& s = d.slurm;
    s.hostTop = d.stateDir + "/hosts/${" + kNodeNameVariable + "}";
    const toml::node* n = root.get("slurm");
    if (!n)
        return;
    const toml::table* t = r.table(n, "slurm");
    r.onlyKeys(*t, "slurm.",
        { "conf", "internal_partition", "partitions", "type_feature_prefix", "host_top", "srun" });
    s.conf = r.string(*t, "slurm.", "conf", false);
    s.internalPartition = r.string(*t, "slurm.", "internal_partition", false);
    s.typeFeaturePrefix = r.string(*t, "slurm.", "type_feature_prefix", false);
    s.hostTop = r.string(*t, "slurm.", "host_top", false, s.hostTop);
    s.srun = r.string(*t, "slurm.", "srun", false, s.srun);
    if (s.srun.empty())
        r.fail(t->get("srun"), "slurm.srun", "empty command");
    if (const toml::node* p = t->get("partitions"))
        for (auto&& [k, v] : *r.table(p, "slurm.partitions")) {
            if (!v.is_string() || v.as_string()->get().empty())
                r.fail(&v, "slurm.partitions." + std::string(k.str()), "expected a partition name");
            s.partitions[std::string(k.str())] = v.as_string()->get();
        }
}

} // namespace

std::string normaliseConsumerPath(const std::string& path)
{
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            out += "/" + path.substr(i, j - i);
        i = j + 1;
    }
    return out.empty() ? "/" : out;
}

std::string localHostName()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || !buf[0])
        return "localhost";
    return buf;
}

const HostInfo* ClusterDescription::findHost(const std::string& name) const
{
    for (const HostInfo& h : hosts)
        if (h.name == name)
            return &h;
    return nullptr;
}

bool ClusterDescription::isConsumer(const std::string& path) const
{
    if (builtIn())
        return true;
    std::string p = normaliseConsumerPath(path);
    if (p == "/")
        return true; // the root consumer of every cluster
    // The service's own consumers exist in every cluster.
    for (const char* own : { "/KeepAlive", "/ClusterServices/QELClusterServices" })
        if (p == own || std::string(own).compare(0, p.size() + 1, p + "/") == 0)
            return true;
    for (const std::string& c : consumers)
        if (c == p || c.compare(0, p.size() + 1, p + "/") == 0)
            return true;
    return false;
}

ClusterDescription ClusterDescription::fromFile(const std::string& path)
{
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        throw DescriptionError(
            path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    Reader r(path);
    r.onlyKeys(root, "", { "cluster", "params", "hosts", "groups", "consumers", "roles", "slurm" });
    ClusterDescription d;
    d.sourceFile = path;
    d.stateDir = defaultStateDir();
    if (const toml::node* n = root.get("cluster")) {
        const toml::table* c = r.table(n, "cluster");
        r.onlyKeys(*c, "cluster.", { "state_dir", "name", "backend" });
        d.backend = r.string(*c, "cluster.", "backend", false, d.backend);
        if (d.backend != "embedded" && d.backend != "slurm")
            r.fail(c->get("backend"), "cluster.backend", "expected \"embedded\" or \"slurm\"");
        std::string dir = r.string(*c, "cluster.", "state_dir", false, d.stateDir);
        if (const char* forced = std::getenv("ZOR_STATE_DIR"); forced && *forced)
            dir = forced;
        if (dir.empty())
            r.fail(c->get("state_dir"), "cluster.state_dir", "empty directory");
        // A relative directory is taken from the file's own directory, so the
        // daemon and its deploy commands agree whatever their working directory.
        std::filesystem::path p(dir);
        d.stateDir = p.is_absolute()
            ? dir
            : (std::filesystem::absolute(path).parent_path() / p).lexically_normal().string();
    }
    if (const toml::node* n = root.get("params"))
        for (auto&& [k, v] : *r.table(n, "params")) {
            if (!v.is_string())
                r.fail(&v, "params." + std::string(k.str()), "expected a string");
            d.params[std::string(k.str())] = v.as_string()->get();
        }
    readSlurm(r, root, d);
    if (d.usesSlurm()) {
        // The controller knows the nodes and partitions; a second list would drift.
        for (const char* key : { "hosts", "groups" })
            if (const toml::node* n = root.get(key))
                r.fail(n, key, "not allowed with backend \"slurm\" (the partitions are the groups)");
    } else {
        if (const toml::node* n = root.get("slurm"))
            r.fail(n, "slurm", "only used with backend \"slurm\"");
        readHosts(r, root, d);
        readGroups(r, root, d);
    }
    readConsumersAndRoles(r, root, d);
    return d;
}

ClusterDescription ClusterDescription::builtInDefault()
{
    ClusterDescription d;
    d.stateDir = defaultStateDir();
    HostInfo local;
    local.name = localHostName();
    d.hosts.push_back(local);
    d.groups[kInternalGroup] = { local.name };
    return d;
}

ClusterDescription ClusterDescription::load()
{
    if (const char* file = std::getenv("ZOR_CLUSTER_FILE"); file && *file)
        return fromFile(file);
    if (const char* top = std::getenv("QEL_TOP"); top && *top) {
        std::string candidate = std::string(top) + "/conf/cluster.toml";
        if (std::filesystem::exists(candidate))
            return fromFile(candidate);
    }
    return builtInDefault();
}

} // namespace zor
