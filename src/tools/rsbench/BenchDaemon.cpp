#include "tools/rsbench/BenchDaemon.h"

#include "tools/rsbench/ToolOutput.h"

#include <httplib.h>

#include <fstream>
#include <utility>

namespace rsbench {

namespace fs = std::filesystem;

std::map<std::string, std::string> quietLogEnvironment(const fs::path& dir)
{
    const fs::path properties = dir / "rsbench.log4j.properties";
    std::ofstream(properties) << "log4j.rootLogger=WARN, file\n"
                                 "log4j.appender.file=org.apache.log4j.FileAppender\n"
                                 "log4j.appender.file.File="
                              << (dir / "rs.log").string()
                              << "\n"
                                 "log4j.appender.file.layout=org.apache.log4j.PatternLayout\n"
                                 "log4j.appender.file.layout.ConversionPattern=%p %c - %m%n\n";
    return { { "RS_LOG_PROPERTY_FILE", properties.string() } };
}

bool BenchDaemon::start(const std::map<std::string, std::string>& env)
{
    const fs::path root = daemon_.cluster.root();
    {
        // More consumers for the resource manager to accept at logon.
        std::ofstream cluster(root / "cluster.toml", std::ios::app);
        for (const char* consumer : { kRateConsumer, kTransferConsumer, kListConsumer })
            cluster << "\n[[consumers]]\npath = \"" << consumer << "\"\n";
    }
    rs::harness::RunOptions options;
    options.env = quietLogEnvironment(root);
    options.env["REPOSITORY_CACHE_SIZE"] = std::to_string(kCacheMiB);
    options.env["REPOSITORY_CACHE_TIMEOUT"] = std::to_string(kCacheTimeoutSeconds);
    httpPort_ = rs::harness::DaemonProcess::freePort();
    options.env["RS_HTTP_LISTEN"] = "127.0.0.1:" + std::to_string(httpPort_);
    options.env.insert(env.begin(), env.end());
    return daemon_.start(options);
}

fs::path BenchDaemon::consumerDir(const std::string& consumer) const
{
    return storageDir() / fs::path(consumer).relative_path();
}

std::optional<ResidentSize> BenchDaemon::residentSize() const
{
    return rsbench::residentSize(pid());
}

std::optional<CacheContents> BenchDaemon::cacheContents() const
{
    httplib::Client client("127.0.0.1", httpPort_);
    const auto answer = client.Get("/metrics");
    if (!answer || answer->status != 200)
        return std::nullopt;
    CacheContents contents;
    for (auto [name, bytes] : { std::pair { "rs_file_cache_bytes", &contents.fileCache },
             std::pair { "rs_index_cache_bytes", &contents.indexCache },
             std::pair { "rs_list_cache_bytes", &contents.listCache },
             std::pair { "rs_large_buffers_kept_bytes", &contents.keptLargeBuffers } }) {
        const std::optional<double> value = metricValue(answer->body, name);
        if (!value)
            return std::nullopt;
        *bytes = static_cast<uint64_t>(*value);
    }
    return contents;
}

} // namespace rsbench
