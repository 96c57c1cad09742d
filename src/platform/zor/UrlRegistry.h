#pragma once
// Client name -> URL, persisted in <state_dir>/urls so that other processes
// find a service. Writers hold an flock on <state_dir>/urls.lock and replace
// the file by rename, so readers never see half a file.
// File format: one "name|url" per line.

#include <optional>
#include <string>

namespace zor {

class UrlRegistry {
public:
    explicit UrlRegistry(std::string stateDir)
        : dir_(std::move(stateDir))
    {
    }

    // Returns an empty string on success, else the reason.
    std::string put(const std::string& name, const std::string& url) const;
    std::optional<std::string> get(const std::string& name) const;

private:
    std::string dir_;
};

} // namespace zor
