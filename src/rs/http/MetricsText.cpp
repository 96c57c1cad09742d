#include "rs/http/MetricsText.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace rs::http {

namespace {

class Writer {
public:
    void family(const char* name, const char* type, const char* help)
    {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    void sample(const std::string& name, uint64_t value, const std::string& labels = {})
    {
        text_ += name;
        if (!labels.empty())
            text_ += "{" + labels + "}";
        text_ += ' ';
        text_ += std::to_string(value);
        text_ += '\n';
    }
    void sample(const std::string& name, double value)
    {
        char number[64];
        std::snprintf(number, sizeof number, "%.6f", value);
        text_ += name + " " + number + "\n";
    }
    void counter(const char* name, const char* help, const kav::StripedCounter<uint64_t>& value)
    {
        family(name, "counter", help);
        sample(name, value.total());
    }
    void gauge(const char* name, const char* help, uint64_t value)
    {
        family(name, "gauge", help);
        sample(name, value);
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

// Result codes as the service shows them: "0x" and eight hex digits.
std::string codeLabel(int32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    return text;
}

// Operation names come from the interface description: letters only, but
// escaped all the same so that the output stays parseable.
std::string escaped(const std::string& value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace

std::string renderMetrics(const kav::ServiceCounters& counters, const MetricsGauges& gauges)
{
    Writer out;
    out.family(
        "rs_requests_total", "counter", "Answers sent, by operation and result code (0x00000000: success).");
    for (const auto& row : counters.answers.rows())
        out.sample("rs_requests_total", row.count,
            "operation=\"" + escaped(row.operation) + "\",code=\"" + codeLabel(row.code) + "\"");
    out.gauge("rs_work_queue_depth", "Requests queued for a worker.", gauges.workQueueDepth);
    out.family("rs_work_queue_wait_seconds", "summary", "Time requests waited in the work queue.");
    out.sample(
        "rs_work_queue_wait_seconds_sum", static_cast<double>(counters.workWaitMicroseconds.total()) / 1e6);
    out.sample("rs_work_queue_wait_seconds_count", counters.workItemsStarted.total());
    out.counter("rs_received_bytes_total", "Bytes received on the service port.", counters.bytesReceived);
    out.counter("rs_sent_bytes_total", "Bytes sent on the service port.", counters.bytesSent);
    out.counter("rs_connections_accepted_total", "Connections accepted on the service port.",
        counters.connectionsAccepted);
    out.gauge("rs_connections_open", "Connections open on the service port.",
        static_cast<uint64_t>(
            std::max<int64_t>(0, counters.connectionsOpen.load(std::memory_order_relaxed))));
    out.gauge(
        "rs_deployment_runs_active", "Install and uninstall runs in progress.", gauges.deploymentRunsActive);
    out.family("rs_deployment_hosts", "gauge", "Hosts of all packages, by deployment state.");
    for (uint32_t state = 1; state < rs::kHostDeployStateCount; ++state)
        out.sample("rs_deployment_hosts", gauges.hostsByState[state],
            std::string("state=\"") + rs::hostDeployStateName(state) + "\"");
    out.counter("rs_resource_manager_calls_total", "Calls of the service's checks into the resource manager.",
        counters.resourceManagerCalls);
    out.counter("rs_resource_manager_failures_total", "Of those, the calls that failed.",
        counters.resourceManagerFailures);
    out.counter("rs_file_cache_hits_total", "File reads served from the file cache.", counters.cacheHits);
    out.counter("rs_file_cache_misses_total", "File reads that went to the disk.", counters.cacheMisses);
    out.gauge(
        "rs_resident_memory_bytes", "Resident memory of the service process.", gauges.residentMemoryBytes);
    out.gauge("rs_file_cache_bytes", "Module file contents held by the file cache.", gauges.fileCacheBytes);
    out.gauge("rs_index_cache_bytes", "Parsed module indexes held in memory (estimated heap use).",
        gauges.indexCacheBytes);
    out.gauge("rs_list_cache_bytes", "Module list records held in memory (estimated heap use).",
        gauges.listCacheBytes);
    out.gauge("rs_large_buffers_kept_bytes", "Freed large message buffers kept for reuse.",
        gauges.keptLargeBufferBytes);
    return out.take();
}

uint64_t residentMemoryBytes()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    if (!(statm >> size >> resident))
        return 0;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

} // namespace rs::http
