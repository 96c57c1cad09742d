#include "rs/repository/NameValidator.h"

#include "common/KavErrorInfo.h"
#include "common/Loggers.h"
#include "common/ResultCodes.h"

#include <log4cxx/logger.h>

#include <array>
#include <cstdio>

namespace kav {
namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kWork);
    return instance;
}

// Names the repository writes itself beside module directories and files.
constexpr std::array<std::string_view, 3> kReservedPrefixes { ".index", ".persist", ".nfs" };

const char* segmentRefusal(std::string_view segment)
{
    if (segment.empty())
        return "has an empty path segment";
    if (segment == "." || segment == "..")
        return "is \".\" or \"..\"";
    if (segment.size() > NameValidator::kMaxSegmentLength)
        return "is longer than 255 bytes";
    if (segment.find('|') != std::string_view::npos)
        return "contains \"|\"";
    if (segment.find_first_of("\r\n") != std::string_view::npos)
        return "contains a line break";
    if (segment.find('\0') != std::string_view::npos)
        return "contains a NUL byte";
    for (std::string_view prefix : kReservedPrefixes) {
        if (segment.starts_with(prefix))
            return "begins with a name reserved by the repository";
    }
    return nullptr;
}

// The value as it may appear in a log line: control bytes escaped, long values cut.
std::string printable(std::string_view value)
{
    constexpr size_t kShown = 300;
    std::string out;
    for (unsigned char c : value.substr(0, kShown)) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (value.size() > kShown)
        out += "...";
    return out;
}

// Logs the refusal and makes it the thread's error information; returns RS_BAD_NAME.
int32_t refusal(const std::string& argument, std::string_view value, const char* reason)
{
    LOG4CXX_WARN(logger(), "Refused " << argument << " '" << printable(value) << "': " << reason);
    return setError(rc::RS_BAD_NAME, argument + " " + reason, KAV_LOCATION,
        Params { argument, printable(value), reason });
}

} // namespace

const char* NameValidator::refusalReason(std::string_view value, NameKind kind)
{
    if (kind == NameKind::Field) {
        if (value.empty())
            return "is empty";
        if (value.find('|') != std::string_view::npos)
            return "contains \"|\"";
        if (value.find_first_of("\r\n") != std::string_view::npos)
            return "contains a line break";
        return nullptr;
    }
    if (kind == NameKind::Segment) {
        if (value.empty())
            return "is empty";
        if (value.find('/') != std::string_view::npos)
            return "contains \"/\"";
        return segmentRefusal(value);
    }
    if (value.empty())
        return nullptr;
    size_t start = 0;
    for (;;) {
        size_t slash = value.find('/', start);
        std::string_view segment
            = value.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (const char* reason = segmentRefusal(segment))
            return reason;
        if (slash == std::string_view::npos)
            return nullptr;
        start = slash + 1;
    }
}

int32_t NameValidator::validate(const std::string& argument, std::string_view value, NameKind kind)
{
    const char* reason = refusalReason(value, kind);
    return reason ? refusal(argument, value, reason) : rc::OK;
}

void NameValidator::refuse(const std::string& argument, std::string_view value, const char* reason)
{
    refusal(argument, value, reason);
    rethrowError(takeErrorInfo());
}

void NameValidator::check(const std::string& argument, std::string_view value, NameKind kind)
{
    if (validate(argument, value, kind) != rc::OK)
        rethrowError(takeErrorInfo());
}

} // namespace kav
