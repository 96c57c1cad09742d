#pragma once
// IcuImpl: the catalogue back end on ICU. Registers the catalogue's common
// data file with ICU (once per process: ICU keeps the first registration and
// the bytes must outlive every bundle), opens the "narv_resources" bundle for
// a locale and formats its patterns with ICU's message formatting.
//
// Thread-safety: init() and cleanup() are called under NarvI18n's mutex;
// i18n() only reads the opened bundle and may run on several threads.

#include "rs/i18n/NarvI18n.h"

#include <unicode/ures.h>

#include <string>

namespace kav {

class IcuImpl final : public NarvI18n::I18nImpl {
public:
    // dataFile: the common data file to register (empty: none found).
    explicit IcuImpl(std::string dataFile);
    ~IcuImpl() override;
    IcuImpl(const IcuImpl&) = delete;
    IcuImpl& operator=(const IcuImpl&) = delete;

    int32_t init(const char* locale) override;
    int32_t i18n(uint32_t number, const Params& params, std::string& out) override;
    int32_t i18n(const std::string& key, const Params& params, std::string& out) override;
    void cleanup() override;

    // The locale the bundle actually resolved to ("root" when it fell back).
    std::string resolvedLocale() const;

private:
    int32_t fail(int32_t code, const char* format, const std::string& what, UErrorCode status);

    std::string dataFile_;
    UResourceBundle* bundle_ = nullptr;
    bool initialised_ = false;
};

} // namespace kav
