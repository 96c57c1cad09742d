#pragma once
// NarvI18n: the message catalogue. Turns a message number (or the low 24 bits
// of a result code) plus positional parameters into operator text in the
// chosen locale, from the "narv_resources" ICU data shipped with the service.
//
// Thread-safety: init() and cleanup() are normally called once each by the
// main thread; i18n() may be called from any thread. mutex_ guards impl_, so
// formatting never races with init() or cleanup(); the opened bundle is
// read-only.

#include "common/KavErrorInfo.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kav {

class NarvI18n {
public:
    // The formatting back end. Implementations report failures as a negative
    // code with the thread's error information set (detail says why).
    class I18nImpl {
    public:
        virtual int32_t init(const char* locale) = 0;
        virtual int32_t i18n(uint32_t number, const Params& params, std::string& out) = 0;
        virtual int32_t i18n(const std::string& key, const Params& params, std::string& out) = 0;
        virtual void cleanup() = 0;
        virtual ~I18nImpl() = default;
    };

    // Environment variable naming the catalogue data file (or its directory).
    static constexpr const char* kDataEnvVariable = "RS_I18N_DATA";
    static constexpr const char* kDataFileName = "narv_resources.dat";
    static constexpr const char* kBundleName = "narv_resources";

    static NarvI18n& instance();

    // Loads the data and opens the bundle for locale (null or "": the process
    // default locale, falling back to root). Returns 0 or an I18N_* code.
    int32_t init(const char* locale = nullptr);

    // Formats message `number` (low 24 bits are used) with params into out.
    // Placeholders beyond params.size() become empty. Returns 0; on failure a
    // negative code, out left empty and the thread's error information set.
    int32_t i18n(uint32_t number, const Params& params, std::string& out);
    int32_t i18n(uint32_t number, std::string& out);

    bool isInitialised() const;
    void cleanup();

    // The data file that init() would load: RS_I18N_DATA, else next to the
    // executable (../share/rs), else the build tree's share/rs. Empty when none exists.
    static std::string locateDataFile();

    NarvI18n(const NarvI18n&) = delete;
    NarvI18n& operator=(const NarvI18n&) = delete;

private:
    NarvI18n();
    ~NarvI18n();

    mutable std::mutex mutex_;
    std::unique_ptr<I18nImpl> impl_;
};

} // namespace kav
