#pragma once
// KavQelUtils: what the service knows about the resource manager product it
// runs under: whether it runs in grid mode and the product's version. Both
// are asked of the resource manager library once and then cached.
//
// Threads: any; the first call of each query is serialised by an internal mutex.

#include <mutex>
#include <optional>

namespace rs {

struct QelVersion {
    int major = 1;
    int minor = 2;
    int patch = 3;
};

class KavQelUtils {
public:
    static KavQelUtils& instance();

    // True unless the library accepts the consumer path "invalid".
    bool isGridMode();
    // The product's version; 1.2.3 outside grid mode or when unknown.
    QelVersion getQelVersion();
    bool isQelSharedTopAvailable();

    // Splits the library's float version into major and minor (one decimal).
    static QelVersion versionFrom(float version, int patch);

    KavQelUtils(const KavQelUtils&) = delete;
    KavQelUtils& operator=(const KavQelUtils&) = delete;

private:
    KavQelUtils() = default;

    std::mutex mutex_;
    std::optional<bool> gridMode_;
    std::optional<QelVersion> version_;
};

} // namespace rs
