#include "zephcomm/router/DriverLoader.h"

#include "common/ResultCodes.h"
#include "platform/zor/zor.h"
#include "zephcomm/driver/zephcommdrv.h"
#include "zephcomm/router/ErrorReport.h"

#include <cstdio>
#include <utility>

namespace zephcomm {

namespace {

// Hands the driver's diagnostics to the "zephcommdrv" logger at level ALL.
class DrvLogger final : public zephcommdrv::Logger {
public:
    void vlog(const char* source, int line, const char* format, va_list args) override
    {
        if (!isEnabled())
            return;
        char text[2048];
        std::vsnprintf(text, sizeof text, format, args);
        LOG4CXX_LOG(Loggers::driver(), Loggers::trace(), source << ":" << line << " " << text);
    }
    // Asked several times per message: the level is kept, not looked up each time.
    bool isEnabled() override { return Loggers::driver()->isEnabledFor(Loggers::trace()); }
    void fault(const char* file, int line) override { reportEscapedException(Loggers::driver(), file, line); }
};

std::optional<std::string> configParameter(const std::string& name)
{
    const char* value = zor_getconfparam(name.c_str());
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

const char* shown(const std::string& text)
{
    return text.empty() ? "NULL" : text.c_str();
}

} // namespace

DriverLoader::DriverLoader()
    : logger_(std::make_unique<DrvLogger>())
    , lookup_(configParameter)
{
}

DriverLoader& DriverLoader::instance()
{
    // Leaked on purpose: driver threads may still log during process exit.
    static DriverLoader* loader = new DriverLoader();
    return *loader;
}

void DriverLoader::setParameterLookup(ParameterLookup lookup)
{
    std::lock_guard guard(lock_);
    lookup_ = std::move(lookup);
}

std::optional<std::string> DriverLoader::resolve(const std::string& text, std::string& error) const
{
    if (!text.starts_with("$"))
        return text;
    std::optional<std::string> value = lookup_ ? lookup_(text.substr(1)) : std::nullopt;
    if (!value)
        error = "Can not evaluate environment variable '" + text + "'.";
    return value;
}

int DriverLoader::fail(int32_t code, const std::string& detail, int line)
{
    reportError(Loggers::router(), code,
        code == kav::rc::ZEPHCOMM_DRIVER_LOAD_FAIL ? "ZEPHCOMM_DRIVER_LOAD_FAIL" : "ZEPHCOMM_DRIVER_ERROR",
        detail, __FILE__, line);
    if (code != kav::rc::ZEPHCOMM_DRIVER_LOAD_FAIL)
        reportError(Loggers::router(), kav::rc::ZEPHCOMM_DRIVER_INIT_FAIL, "ZEPHCOMM_DRIVER_INIT_FAIL",
            detail, __FILE__, line);
    return -1;
}

int DriverLoader::load(const DriverSettings& settings)
{
    std::lock_guard guard(lock_);
    if (driver_ != nullptr)
        return 0;
    std::string error;
    std::optional<std::string> arg = resolve(settings.arg, error);
    if (!arg)
        return fail(kav::rc::ZEPHCOMM_DRIVER_ERROR, error, __LINE__);
    std::optional<std::string> optionText = resolve(settings.options, error);
    if (!optionText)
        return fail(kav::rc::ZEPHCOMM_DRIVER_ERROR, error, __LINE__);
    DriverOptionsResult parsed = parseDriverOptions(*optionText);
    if (!parsed.ok)
        return fail(kav::rc::ZEPHCOMM_DRIVER_ERROR, parsed.error, __LINE__);

    LOG4CXX_INFO(Loggers::router(),
        "create_IO_Driver( threads=" << settings.threads << ", driver=" << shown(settings.name)
                                     << ", arg=" << shown(settings.arg)
                                     << ", drv_arg=" << (arg->empty() ? "zero" : arg->c_str()) << ")");
    zephcommdrv::Driver* driver = nullptr;
    int rc = zephcommdrv::create_IO_Driver(&driver, settings.threads, logger_.get(),
        settings.name.empty() ? nullptr : settings.name.c_str(), arg->empty() ? nullptr : arg->c_str());
    if (rc != 0 || driver == nullptr) {
        if (driver == nullptr && rc == 0)
            return fail(kav::rc::ZEPHCOMM_DRIVER_LOAD_FAIL, "create_IO_Driver returned no driver", __LINE__);
        return fail(
            kav::rc::ZEPHCOMM_DRIVER_ERROR, "create_IO_Driver() error #" + std::to_string(rc), __LINE__);
    }
    driver_ = driver;
    settings_ = settings;
    options_ = std::move(parsed.options);
    return 0;
}

void DriverLoader::unload()
{
    zephcommdrv::Driver* driver = nullptr;
    {
        std::lock_guard guard(lock_);
        driver = std::exchange(driver_, nullptr);
        options_.clear();
    }
    if (driver != nullptr)
        driver->destroy();
}

zephcommdrv::Driver* DriverLoader::driver() const
{
    std::lock_guard guard(lock_);
    return driver_;
}

DriverOptions DriverLoader::options() const
{
    std::lock_guard guard(lock_);
    return options_;
}

int init(int threads, const char* driverName, const char* driverArg, const char* driverOptions)
{
    DriverSettings settings;
    settings.threads = threads;
    settings.name = driverName ? driverName : "";
    settings.arg = driverArg ? driverArg : "";
    settings.options = driverOptions ? driverOptions : "";
    return DriverLoader::instance().load(settings);
}

void fini()
{
    DriverLoader::instance().unload();
}

} // namespace zephcomm
