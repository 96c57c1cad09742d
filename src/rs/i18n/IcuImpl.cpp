#include "rs/i18n/IcuImpl.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"

#include <log4cxx/logger.h>
#include <unicode/msgfmt.h>
#include <unicode/udata.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace kav {

namespace {

log4cxx::LoggerPtr logger()
{
    static log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kIcuImpl);
    return instance;
}

// Sites that pass fewer parameters than a text names still get a readable
// text: the missing ones become empty instead of raw "{n}".
constexpr size_t kMinArguments = 10;

// ICU needs the registered bytes for the life of the process, and accepts
// only the first registration of a package name.
class CatalogueData {
public:
    UErrorCode registerFile(const std::string& path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A catalogue that cannot be found is reported even when an earlier
        // one is still registered: the installation is broken either way.
        std::ifstream in(path, std::ios::binary);
        if (path.empty() || !in)
            return U_FILE_ACCESS_ERROR;
        if (registered_)
            return U_ZERO_ERROR;
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        UErrorCode status = U_ZERO_ERROR;
        udata_setAppData(NarvI18n::kBundleName, bytes_.data(), &status);
        if (U_FAILURE(status)) {
            bytes_.clear();
            return status;
        }
        registered_ = true;
        return U_ZERO_ERROR;
    }

private:
    std::mutex mutex_;
    std::vector<char> bytes_;
    bool registered_ = false;
};

CatalogueData& catalogueData()
{
    static CatalogueData* data = new CatalogueData; // never destroyed: ICU may still point into it
    return *data;
}

std::string formatText(const char* format, const std::string& what, UErrorCode status)
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, what.c_str(), u_errorName(status));
    return buffer;
}

} // namespace

IcuImpl::IcuImpl(std::string dataFile)
    : dataFile_(std::move(dataFile))
{
}

IcuImpl::~IcuImpl()
{
    cleanup();
}

int32_t IcuImpl::fail(int32_t code, const char* format, const std::string& what, UErrorCode status)
{
    std::string detail = formatText(format, what, status);
    LOG4CXX_DEBUG(logger(), detail);
    return setError(code, detail, KAV_LOCATION);
}

int32_t IcuImpl::init(const char* locale)
{
    cleanup();
    UErrorCode status = catalogueData().registerFile(dataFile_);
    if (U_FAILURE(status))
        return fail(rc::I18N_NO_DATA, "Cannot locate narv_resource file. %s%s", dataFile_ + " ", status);
    const bool useDefault = locale == nullptr || *locale == '\0';
    status = U_ZERO_ERROR;
    bundle_ = ures_open(NarvI18n::kBundleName, useDefault ? nullptr : locale, &status);
    if (U_FAILURE(status)) {
        bundle_ = nullptr;
        return fail(rc::I18N_NO_LOCALE, "Cannot bind language resource for locale %s. %s",
            useDefault ? "default" : locale, status);
    }
    initialised_ = true;
    LOG4CXX_DEBUG(logger(), "catalogue opened for locale " << resolvedLocale());
    return 0;
}

int32_t IcuImpl::i18n(uint32_t number, const Params& params, std::string& out)
{
    return i18n(std::to_string(number), params, out);
}

int32_t IcuImpl::i18n(const std::string& key, const Params& params, std::string& out)
{
    out.clear();
    if (!initialised_)
        return setError(rc::I18N_IMPL_NOT_INITIALISED, "", KAV_LOCATION);

    UErrorCode status = U_ZERO_ERROR;
    UResourceBundle* item = ures_getByKey(bundle_, key.c_str(), nullptr, &status);
    if (U_FAILURE(status)) {
        ures_close(item);
        return fail(rc::I18N_NO_MESSAGE, "Cannot get the message resource for key %s. %s", key, status);
    }
    int32_t length = 0;
    const UChar* text = ures_getString(item, &length, &status);
    icu::UnicodeString pattern(text, U_SUCCESS(status) ? length : 0);
    ures_close(item);
    if (U_FAILURE(status))
        return fail(rc::I18N_NO_MESSAGE, "Cannot get the message for key %s. %s", key, status);

    icu::MessageFormat format(pattern, icu::Locale::getRoot(), status);
    if (U_FAILURE(status))
        return fail(rc::I18N_BAD_PATTERN,
            "Cannot preprocess the message. There is likely a problem with the message for key %s. %s", key,
            status);

    std::vector<icu::Formattable> arguments(
        std::max(params.size(), kMinArguments), icu::Formattable(icu::UnicodeString()));
    for (size_t i = 0; i < params.size(); ++i)
        arguments[i] = icu::Formattable(icu::UnicodeString::fromUTF8(params[i]));
    icu::UnicodeString result;
    icu::FieldPosition position;
    format.format(arguments.data(), static_cast<int32_t>(arguments.size()), result, position, status);
    if (U_FAILURE(status))
        return fail(rc::I18N_SUBSTITUTION, "Cannot perform variable substitution in message for key %s. %s",
            key, status);
    result.toUTF8String(out);
    return 0;
}

void IcuImpl::cleanup()
{
    if (bundle_)
        ures_close(bundle_);
    bundle_ = nullptr;
    initialised_ = false;
}

std::string IcuImpl::resolvedLocale() const
{
    if (!bundle_)
        return "";
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ures_getLocaleByType(bundle_, ULOC_ACTUAL_LOCALE, &status);
    return U_SUCCESS(status) && name ? name : "";
}

} // namespace kav
