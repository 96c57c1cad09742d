// Event plug-in "event_file": appends one line per event to the file named by
// the parameter:
//   <ISO-8601 UTC time> <component> <code> <level> <text>
// Line breaks inside the text become blanks so that a line is one event.
// Each line goes out in one write() on a descriptor opened with O_APPEND,
// under an exclusive flock, so that several processes (or plug-in instances)
// can share one file without interleaving.

#include "platform/notev/notev_plugin.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

struct FileState {
    int fd = -1;
};

std::string isoTime(const timespec& time)
{
    struct tm utc { };
    gmtime_r(&time.tv_sec, &utc);
    char text[40];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", time.tv_nsec / 1000000L);
    return text;
}

std::string formatLine(const notev_event& event)
{
    std::string line = isoTime(event.time) + " " + event.component + " " + std::to_string(event.code) + " "
        + std::to_string(event.level) + " ";
    for (const char* p = event.text; *p; ++p)
        line += (*p == '\n' || *p == '\r') ? ' ' : *p;
    line += '\n';
    return line;
}

bool writeAll(int fd, const std::string& line)
{
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

extern "C" {

int notev_plugin_open(const char* param, void** state)
{
    if (!param || !*param)
        return -EINVAL;
    const int fd = ::open(param, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return -errno;
    *state = new FileState { fd };
    return 0;
}

int notev_plugin_deliver(void* state, const notev_event* event)
{
    const int fd = static_cast<FileState*>(state)->fd;
    const std::string line = formatLine(*event);
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return -errno;
    const bool written = writeAll(fd, line);
    flock(fd, LOCK_UN);
    return written ? 0 : -EIO;
}

void notev_plugin_close(void* state)
{
    auto* s = static_cast<FileState*>(state);
    ::close(s->fd);
    delete s;
}

} // extern "C"
