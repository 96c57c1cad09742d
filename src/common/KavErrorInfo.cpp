#include "common/KavErrorInfo.h"

#include "common/ResultCodes.h"

#include <ace/Message_Block.h>

#include <cstring>
#include <exception>
#include <memory>

namespace kav {

KavErrorInfo::KavErrorInfo(
    int32_t code, std::string location, std::string context, std::string detail, Params params)
    : code_(code)
    , location_(std::move(location))
    , context_(std::move(context))
    , detail_(std::move(detail))
    , params_(std::move(params))
    , flag_(true)
{
}

KavErrorInfo::KavErrorInfo(const KavErrorInfo& other)
    : code_(other.code_)
    , location_(other.location_)
    , context_(other.context_)
    , detail_(other.detail_)
    , params_(other.params_)
    , message_(other.message_)
    , flag_(other.flag_)
{
    setData(other.data_);
}

KavErrorInfo& KavErrorInfo::operator=(const KavErrorInfo& other)
{
    if (this != &other) {
        code_ = other.code_;
        location_ = other.location_;
        context_ = other.context_;
        detail_ = other.detail_;
        params_ = other.params_;
        message_ = other.message_;
        flag_ = other.flag_;
        setData(other.data_);
    }
    return *this;
}

KavErrorInfo::~KavErrorInfo()
{
    if (data_)
        data_->release();
}

void KavErrorInfo::setData(const ACE_Message_Block* data)
{
    ACE_Message_Block* copy = data ? data->clone() : nullptr;
    if (data_)
        data_->release();
    data_ = copy;
}

void KavErrorInfo::setMessage(const std::string& message)
{
    message_ = message.substr(0, kMaxMessageLength);
}

namespace {
thread_local std::unique_ptr<KavErrorInfo> threadErrorInfo;
}

void setErrorInfo(std::unique_ptr<KavErrorInfo> info)
{
    if (info)
        threadErrorInfo = std::move(info);
}

std::unique_ptr<KavErrorInfo> takeErrorInfo()
{
    return std::move(threadErrorInfo);
}

void clearErrorInfo()
{
    threadErrorInfo.reset();
}

const KavErrorInfo* peekErrorInfo()
{
    return threadErrorInfo.get();
}

std::string makeLocation(const char* file, int line)
{
    const char* base = std::strrchr(file, '/');
    return std::string(base ? base + 1 : file) + ":" + std::to_string(line);
}

void throwError(int32_t code, const std::string& detail, std::string location, Params params)
{
    auto info = std::make_unique<KavErrorInfo>(code, std::move(location), "", detail, std::move(params));
    throw new KavException(code, std::move(info));
}

void rethrowError(std::unique_ptr<KavErrorInfo> info)
{
    const int32_t code = info ? info->getCode() : -1;
    throw new KavException(code, std::move(info));
}

int32_t setError(int32_t code, const std::string& detail, std::string location, Params params)
{
    setErrorInfo(std::make_unique<KavErrorInfo>(code, std::move(location), "", detail, std::move(params)));
    return code;
}

int32_t absorbCurrentException(const char* file, int line)
{
    try {
        throw;
    } catch (KavException* e) {
        int32_t code = e->code();
        std::unique_ptr<KavErrorInfo> info = e->takeInfo();
        e->release();
        if (!info)
            return setError(code, "", makeLocation(file, line));
        setErrorInfo(std::move(info));
        return code;
    } catch (const std::exception& e) {
        return setError(rc::UNEXPECTED_STD_EXCEPTION, e.what(), makeLocation(file, line));
    } catch (...) {
        return setError(rc::UNKNOWN_EXCEPTION, "", makeLocation(file, line));
    }
}

} // namespace kav
