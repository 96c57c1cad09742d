#pragma once
// zephcomm::CompletionHandler: what users of the channel layer implement to
// learn of accepted and opened connections, arriving messages and finished
// sends.
//
// Threads: every callback runs on a driver thread. Callbacks of one channel
// arrive one at a time; callbacks of different channels run in parallel.
// Reference counting (kav::Referable): whoever stores a handler takes a
// reference and gives it back with release().

#include "common/Referable.h"

#include <string>

class ACE_Message_Block;

namespace zephcomm {

class Channel;

class CompletionHandler : public virtual kav::Referable {
public:
    // A connection was accepted and its handshake completed. On success
    // `channel` is the new connection; the callee takes its own reference
    // to keep it. On failure `peerName` is empty and `channel` null.
    virtual void accept_CB(int error, const std::string& peerName, Channel* channel) = 0;
    // A connection was opened and its handshake completed (as accept_CB).
    virtual void connect_CB(int error, const std::string& peerName, Channel* channel) = 0;
    // A message of a type bound to this handler arrived (error 0; the callee
    // releases `message`), or the binding ended because the channel closed
    // (error non-zero, `message` null).
    virtual void receive_CB(
        int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel)
        = 0;
    // A send finished; `token` is the one given to Channel::send.
    virtual void send_CB(void* token, int error, Channel* channel) = 0;
};

} // namespace zephcomm
