#include "rs/core/ServiceRules.h"

#include "common/ResultCodes.h"

#include <algorithm>
#include <cctype>

namespace rs {

bool requireLogonSetting(const char* value)
{
    if (!value)
        return true;
    std::string text(value);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text != "off" && text != "0" && text != "false" && text != "no";
}

void ConsumerCleanupList::add(const std::string& consumer)
{
    std::lock_guard lock(mutex_);
    if (std::find(consumers_.begin(), consumers_.end(), consumer) == consumers_.end())
        consumers_.push_back(consumer);
}

void ConsumerCleanupList::cleanup(const Release& release)
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> keep;
    // Walk a copy: the release may add names, which then wait for the next round.
    std::vector<std::string> current;
    current.swap(consumers_);
    for (const auto& consumer : current) {
        int32_t result = release(consumer);
        if (result < 0 && result != kav::rc::ZOR_CONSUMER_GONE)
            keep.push_back(consumer);
    }
    for (auto& added : consumers_)
        if (std::find(keep.begin(), keep.end(), added) == keep.end())
            keep.push_back(std::move(added));
    consumers_ = std::move(keep);
}

std::vector<std::string> ConsumerCleanupList::pending() const
{
    std::lock_guard lock(mutex_);
    return consumers_;
}

} // namespace rs
