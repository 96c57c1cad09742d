#pragma once
// zephcomm::Call: one operation of an RPC interface with its marshalled
// arguments. Stubs keep one empty call per operation as a prototype and
// create a fresh call from it for every arriving message.
//
// Not synchronised: a call belongs to one thread at a time (the sender until
// it hands the call to a proxy, then the proxy's completion; on the
// receiving side the stub, then the dispatcher).

#include <memory>
#include <string>

class ACE_Message_Block;

namespace zephcomm {

class Call {
public:
    explicit Call(std::string methodName)
        : methodName_(std::move(methodName))
    {
    }
    virtual ~Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // The operation's name, for example "addPackage".
    const std::string& methodName() const { return methodName_; }

    // A new, empty call of the same class; the caller owns it.
    virtual Call* create() const = 0;
    // The first buffer of the marshalled arguments (a chain); null when
    // nothing was marshalled. Owned by the call.
    virtual const ACE_Message_Block* payload() const = 0;
    // Rebuilds the arguments from a received payload (not taken over).
    // Returns 0, or non-zero only when memory ran out; a short or malformed
    // payload shows in the call's unmarshal result instead.
    virtual int unmarshal(const ACE_Message_Block* payload) = 0;

private:
    std::string methodName_;
};

using CallPtr = std::unique_ptr<Call>;

} // namespace zephcomm
