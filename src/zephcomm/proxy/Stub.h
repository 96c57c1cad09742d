#pragma once
// zephcomm::Stub: receives the calls of one interface from a Channel. bind()
// registers a prototype call per operation with the completion that
// implements them; every arriving message of a bound type is rebuilt from a
// fresh copy of its prototype and handed to the completion's complete().
//
// Threads: receive_CB on driver threads (one at a time per channel); bind
// and unbind from any thread. lock_ guards the method table and the channel
// pointer; no callback into the channel or the completion is made with it
// held.
// References (kav::Referable, 1 for the creator): each channel binding
// references the stub; the table references each completion. When the
// channel closes, every binding ends; after the last one the completion is
// told once with complete(error, null).

#include "zephcomm/proxy/CallCompletion.h"
#include "zephcomm/router/CompletionHandler.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zephcomm {

class Channel;

class Stub : public CompletionHandler {
public:
    explicit Stub(const std::string& interfaceName);
    Stub(const std::string& interfaceName, Channel* channel);

    const std::string& interfaceName() const { return interfaceName_; }

    // Binds every prototype (taken over) to `completion`. Returns 0 when all
    // were bound; -1 without channel, with an empty list, or when a binding
    // failed (a method already bound keeps its first binding).
    int bind(std::vector<std::unique_ptr<Call>> prototypes, CallCompletion* completion);
    // Removes every binding of this stub from its channel, releases the
    // channel and gives back the creator's reference. The completion is not
    // told.
    void unbind();

    // CompletionHandler. accept_CB stores the channel (error 0).
    void accept_CB(int error, const std::string& peerName, Channel* channel) override;
    void connect_CB(int error, const std::string& peerName, Channel* channel) override;
    void receive_CB(
        int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel) override;
    void send_CB(void* token, int error, Channel* channel) override;

protected:
    ~Stub() override;

private:
    struct Method {
        std::unique_ptr<Call> prototype;
        kav::RefPtr<CallCompletion> completion;
    };
    void dispatch(const std::string& typeName, ACE_Message_Block* message);
    void bindingEnded(int error, const std::string& typeName);

    const std::string interfaceName_;
    mutable std::recursive_mutex lock_;
    Channel* channel_ = nullptr;
    std::unordered_map<std::string, Method> methods_;
};

} // namespace zephcomm
