#include "tools/rsbench/ToolOutput.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace rsbench {

namespace {

// The rest of the first line of `text` that starts with `key`.
std::optional<std::string> afterKey(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return std::nullopt;
}

std::optional<double> number(const std::string& text)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin)
        return std::nullopt;
    return value;
}

std::string unquoted(std::string field)
{
    if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
        return field.substr(1, field.size() - 2);
    return field;
}

} // namespace

std::optional<double> redisBenchmarkRate(const std::string& csv, const std::string& test)
{
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t comma = line.find(',');
        if (comma == std::string::npos || unquoted(line.substr(0, comma)) != test)
            continue;
        const size_t next = line.find(',', comma + 1);
        return number(unquoted(
            line.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1)));
    }
    return std::nullopt;
}

std::optional<double> wrkRequestsPerSecond(const std::string& output)
{
    const std::string key = "Requests/sec:";
    const size_t at = output.find(key);
    if (at == std::string::npos)
        return std::nullopt;
    return number(output.substr(at + key.size()));
}

std::optional<double> curlSeconds(const std::string& output)
{
    std::istringstream in(output);
    int status = 0;
    double seconds = 0;
    if (!(in >> status >> seconds) || status < 200 || status >= 300)
        return std::nullopt;
    return seconds;
}

std::optional<uint64_t> statusBytes(const std::string& statusText, const std::string& field)
{
    const auto rest = afterKey(statusText, field + ":");
    if (!rest)
        return std::nullopt;
    std::istringstream fields(*rest);
    uint64_t amount = 0;
    std::string unit;
    if (!(fields >> amount >> unit) || unit != "kB")
        return std::nullopt;
    return amount * 1024;
}

std::optional<double> metricValue(const std::string& metricsText, const std::string& name)
{
    const auto rest = afterKey(metricsText, name + " ");
    if (!rest)
        return std::nullopt;
    std::istringstream fields(*rest);
    double value = 0;
    std::string extra;
    if (!(fields >> value) || (fields >> extra))
        return std::nullopt;
    return value;
}

double childrenCpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds
        = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

CpuMeter::CpuMeter(int serverPid, Client client)
    : serverPid_(serverPid)
    , client_(client)
    , serverStart_(serverPid > 0 ? cpuSeconds(serverPid) : 0)
    , clientStart_(clientNow())
{
}

double CpuMeter::server() const
{
    return serverPid_ > 0 ? cpuSeconds(serverPid_) - serverStart_ : 0;
}

double CpuMeter::client() const
{
    return clientNow() - clientStart_;
}

double CpuMeter::clientNow() const
{
    return client_ == Client::Children ? childrenCpuSeconds() : cpuSeconds(::getpid());
}

std::optional<ResidentSize> residentSize(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in)
        return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    const auto total = statusBytes(text.str(), "VmRSS");
    if (!total)
        return std::nullopt;
    return ResidentSize { *total, statusBytes(text.str(), "RssAnon").value_or(0),
        statusBytes(text.str(), "RssFile").value_or(0) };
}

double cpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t command = text.rfind(')');
    if (command == std::string::npos)
        return 0;
    // Fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    std::istringstream fields(text.substr(command + 1));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
        if (i >= 12)
            ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace rsbench
