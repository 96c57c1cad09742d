#pragma once
// Error information: the record that describes a failure (KavErrorInfo), the
// exception that carries it (KavException), the per-thread error slot, and
// the helpers that raise failures and catch them at operation boundaries.
//
// Result codes: negative is failure; the low 24 bits name the catalogue
// message that describes the failure (common/ResultCodes.h).
//
// Thread-safety: a record is not synchronised; it belongs to one thread at a
// time. The error slot is per thread.

#include "common/Referable.h"

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class ACE_Message_Block;

namespace kav {

using Params = std::vector<std::string>;

class IKavErrorInfo {
public:
    virtual ~IKavErrorInfo() = default;
    virtual int32_t getCode() const = 0;
    virtual const std::string& getLocation() const = 0;
    virtual const std::string& getContext() const = 0;
    virtual const std::string& getDetail() const = 0;
    virtual const Params& getParams() const = 0;
    // Stores a deep copy of the block (the caller keeps its own); releases the previous one.
    virtual void setData(const ACE_Message_Block* data) = 0;
    // The attached block, owned by the record; null when none.
    virtual const ACE_Message_Block* getData() const = 0;
    // Keeps at most kMaxMessageLength characters.
    virtual void setMessage(const std::string& message) = 0;
    virtual const std::string& getMessage() const = 0;
    virtual void setFlag(bool flag) = 0;
    virtual bool getFlag() const = 0;
    virtual void setDetail(const std::string& detail) = 0;
    virtual void setContext(const std::string& context) = 0;
};

class KavErrorInfo final : public IKavErrorInfo {
public:
    static constexpr size_t kMaxMessageLength = 256;

    KavErrorInfo() = default;
    KavErrorInfo(
        int32_t code, std::string location, std::string context, std::string detail, Params params = {});
    KavErrorInfo(const KavErrorInfo& other);
    KavErrorInfo& operator=(const KavErrorInfo& other);
    ~KavErrorInfo() override;

    int32_t getCode() const override { return code_; }
    const std::string& getLocation() const override { return location_; }
    const std::string& getContext() const override { return context_; }
    const std::string& getDetail() const override { return detail_; }
    const Params& getParams() const override { return params_; }
    void setData(const ACE_Message_Block* data) override;
    const ACE_Message_Block* getData() const override { return data_; }
    void setMessage(const std::string& message) override;
    const std::string& getMessage() const override { return message_; }
    void setFlag(bool flag) override { flag_ = flag; }
    bool getFlag() const override { return flag_; }
    void setDetail(const std::string& detail) override { detail_ = detail; }
    void setContext(const std::string& context) override { context_ = context; }

private:
    int32_t code_ = 0;
    std::string location_;
    std::string context_;
    std::string detail_;
    Params params_;
    ACE_Message_Block* data_ = nullptr;
    std::string message_;
    bool flag_ = false;
};

// Thrown as a pointer; whoever catches it takes code and record and calls release().
class KavException final : public Referable {
public:
    KavException(int32_t code, std::unique_ptr<KavErrorInfo> info)
        : code_(code)
        , info_(std::move(info))
    {
    }
    int32_t code() const { return code_; }
    const KavErrorInfo* info() const { return info_.get(); }
    // Hands the record to the caller; the exception no longer owns it.
    std::unique_ptr<KavErrorInfo> takeInfo() { return std::move(info_); }

private:
    ~KavException() override = default;
    int32_t code_;
    std::unique_ptr<KavErrorInfo> info_;
};

// --- Per-thread error slot -------------------------------------------------

// Replaces the thread's record (deleting the old one). Null leaves the slot as it is.
void setErrorInfo(std::unique_ptr<KavErrorInfo> info);
// Returns the thread's record, leaving the slot empty.
[[nodiscard]] std::unique_ptr<KavErrorInfo> takeErrorInfo();
// Drops the thread's record, for a failure that has been dealt with.
void clearErrorInfo();
// The thread's record without taking it; null when none.
const KavErrorInfo* peekErrorInfo();

// --- Raising ---------------------------------------------------------------

// "File.cpp:123" from __FILE__ and __LINE__ (the base name of the file).
std::string makeLocation(const char* file, int line);

[[noreturn]] void throwError(
    int32_t code, const std::string& detail, std::string location, Params params = {});
// Throws a KavException over the record (code -1 when none).
[[noreturn]] void rethrowError(std::unique_ptr<KavErrorInfo> info);
// Sets the thread's error information to a new record; returns code.
int32_t setError(int32_t code, const std::string& detail, std::string location, Params params = {});

// --- Catching at an operation boundary --------------------------------------

// Call from inside a catch(...) block: classifies the exception in flight
// (KavException, standard exception, anything else), leaves the matching
// record as the thread's error information and returns the result code. A
// KavException without a record gets a fresh one with its code, so the
// thread's error information always matches the returned code.
int32_t absorbCurrentException(const char* file, int line);

// Runs body() under the three catch clauses; returns body's result (an
// integer; 0 for a body returning void), or the failure code with the
// thread's error information set.
template <class Body> int32_t runGuarded(const char* file, int line, Body&& body)
{
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            return 0;
        } else {
            return static_cast<int32_t>(body());
        }
    } catch (...) {
        return absorbCurrentException(file, line);
    }
}

} // namespace kav

#define KAV_LOCATION ::kav::makeLocation(__FILE__, __LINE__)
#define KAV_THROW(code, detail, ...) ::kav::throwError((code), (detail), KAV_LOCATION, ##__VA_ARGS__)
#define KAV_GUARDED(body) ::kav::runGuarded(__FILE__, __LINE__, body)
