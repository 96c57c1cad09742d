#include "rs/i18n/NarvI18n.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "rs/i18n/IcuImpl.h"

#include <log4cxx/logger.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kav {

namespace {

log4cxx::LoggerPtr logger()
{
    static log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kI18n);
    return instance;
}

namespace fs = std::filesystem;

// A path that names either the data file or the directory holding it.
std::string dataFileAt(const fs::path& path)
{
    std::error_code error;
    fs::path candidate = fs::is_directory(path, error) ? path / NarvI18n::kDataFileName : path;
    return fs::is_regular_file(candidate, error) ? candidate.string() : std::string();
}

} // namespace

NarvI18n::NarvI18n() = default;
NarvI18n::~NarvI18n() = default;

NarvI18n& NarvI18n::instance()
{
    static NarvI18n* singleton = new NarvI18n; // lives until exit: other singletons format texts while dying
    return *singleton;
}

std::string NarvI18n::locateDataFile()
{
    if (const char* fromEnvironment = std::getenv(kDataEnvVariable); fromEnvironment && *fromEnvironment)
        return dataFileAt(fromEnvironment);
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        std::string found = dataFileAt(executable.parent_path() / ".." / "share" / "rs");
        if (!found.empty())
            return found;
    }
    return dataFileAt(RS_I18N_BUILD_SHARE_DIR);
}

int32_t NarvI18n::init(const char* locale)
{
    LOG4CXX_DEBUG(logger(), " locale is " << (locale && *locale ? locale : "0(default locale)"));
    std::lock_guard<std::mutex> lock(mutex_);
    if (impl_)
        impl_->cleanup();
    auto impl = std::make_unique<IcuImpl>(locateDataFile());
    int32_t result = impl->init(locale);
    impl_ = result < 0 ? nullptr : std::move(impl);
    return result;
}

int32_t NarvI18n::i18n(uint32_t number, const Params& params, std::string& out)
{
    out.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!impl_)
        return setError(rc::I18N_NOT_INITIALISED, "", KAV_LOCATION);
    int32_t result = impl_->i18n(rc::messageNumber(static_cast<int32_t>(number)), params, out);
    if (result < 0)
        out.clear();
    return result;
}

int32_t NarvI18n::i18n(uint32_t number, std::string& out)
{
    return i18n(number, Params {}, out);
}

bool NarvI18n::isInitialised() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_ != nullptr;
}

void NarvI18n::cleanup()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (impl_)
        impl_->cleanup();
    impl_.reset();
}

} // namespace kav
