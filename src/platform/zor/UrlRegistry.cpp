#include "platform/zor/UrlRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace zor {

namespace {

std::map<std::string, std::string> readAll(const std::string& file)
{
    std::map<std::string, std::string> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        size_t bar = line.find('|');
        if (bar != std::string::npos && bar > 0)
            out[line.substr(0, bar)] = line.substr(bar + 1);
    }
    return out;
}

class FileLock {
public:
    explicit FileLock(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) { }
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

} // namespace

std::string UrlRegistry::put(const std::string& name, const std::string& url) const
{
    if (name.empty() || name.find_first_of("|\n") != std::string::npos || url.find('\n') != std::string::npos)
        return "client name or URL holds '|' or a line break";
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec)
        return "cannot create '" + dir_ + "': " + ec.message();
    FileLock lock(dir_ + "/urls.lock");
    if (!lock.ok())
        return "cannot lock '" + dir_ + "/urls.lock': " + std::strerror(errno);
    auto all = readAll(dir_ + "/urls");
    all[name] = url;
    std::string tmp = dir_ + "/urls.tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (auto& [k, v] : all)
            out << k << '|' << v << '\n';
        out.flush();
        if (!out)
            return "cannot write '" + tmp + "'";
    }
    if (std::rename(tmp.c_str(), (dir_ + "/urls").c_str()) != 0) {
        std::string reason = std::strerror(errno);
        std::remove(tmp.c_str());
        return "cannot replace '" + dir_ + "/urls': " + reason;
    }
    return {};
}

std::optional<std::string> UrlRegistry::get(const std::string& name) const
{
    auto all = readAll(dir_ + "/urls");
    auto it = all.find(name);
    if (it == all.end())
        return std::nullopt;
    return it->second;
}

} // namespace zor
