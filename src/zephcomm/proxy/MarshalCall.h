#pragma once
// zephCDRMarshal::MarshalCall: the base of every generated call class. Owns
// the output CDR stream of a sent call and the unmarshal count of a received
// one. TypedCall<Derived, Codecs...> implements marshalling and
// unmarshalling once for any argument list; a generated call class only
// names its operation, its codecs and its accessors.
//
// A codec is a struct with
//   using In = ...;     what the marshalling constructor takes
//   using Held = ...;   how the call stores the received value
//   static bool write(ACE_OutputCDR&, In);
//   static bool read(ACE_InputCDR&, Held&);   // creates the value it needs
//   static auto view(const Held&);            // accessor result
//
// Not synchronised (see Call).

#include "zephcomm/proxy/Call.h"

#include <ace/CDR_Stream.h>

#include <memory>
#include <tuple>
#include <utility>

namespace zephCDRMarshal {

class MarshalCall : public zephcomm::Call {
public:
    using zephcomm::Call::Call;

    const ACE_Message_Block* payload() const override { return out_ ? out_->begin() : nullptr; }

    // False when a write failed; the call must not be sent.
    bool marshalled() const { return marshalStatus_; }
    // 0 when every argument was read, else the 1-based position of the
    // argument whose read failed.
    int unmarshalResult() const { return unmarshalCount_ == argumentCount_ + 1 ? 0 : unmarshalCount_; }

protected:
    // The stream, created with the payload's byte-order flag on first use.
    ACE_OutputCDR& output();
    void setMarshalStatus(bool good) { marshalStatus_ = good; }
    // Opens the payload for reading (byte-order flag read); null when even
    // the flag is missing.
    std::unique_ptr<ACE_InputCDR> input(const ACE_Message_Block* payload);
    void countRead() { ++unmarshalCount_; }
    void setArgumentCount(int count) { argumentCount_ = count; }

private:
    std::unique_ptr<ACE_OutputCDR> out_;
    bool marshalStatus_ = true;
    int unmarshalCount_ = 0;
    int argumentCount_ = 0;
};

// Selects the empty prototype constructor of a call class.
struct PrototypeTag { };
inline constexpr PrototypeTag prototype {};

template <class Derived, class... Codecs> class TypedCall : public MarshalCall {
public:
    static constexpr int kArgumentCount = sizeof...(Codecs);

    // An empty call (a stub's prototype, or the target of unmarshal).
    explicit TypedCall(PrototypeTag)
        : MarshalCall(Derived::kMethodName)
    {
        setArgumentCount(kArgumentCount);
    }

    // Marshals the arguments at once, in order, stopping at the first
    // failed write (see marshalled()).
    explicit TypedCall(typename Codecs::In... args)
        : MarshalCall(Derived::kMethodName)
    {
        setArgumentCount(kArgumentCount);
        ACE_OutputCDR& out = output();
        bool good = out.good_bit();
        ((good = good && Codecs::write(out, args)), ...);
        setMarshalStatus(good && out.good_bit());
    }

    zephcomm::Call* create() const override { return new Derived(prototype); }

    int unmarshal(const ACE_Message_Block* payload) override
    {
        std::unique_ptr<ACE_InputCDR> in = input(payload);
        if (!in) {
            if (kArgumentCount > 0)
                countRead(); // the first read fails at once
            return 0;
        }
        readFrom<0>(*in);
        return 0;
    }

    // Hands every argument to f (moved out of the call), in wire order.
    template <class F> decltype(auto) consume(F&& f)
    {
        return std::apply([&](auto&... held) -> decltype(auto) { return f(std::move(held)...); }, args_);
    }

protected:
    template <size_t I> auto argument() const
    {
        return std::tuple_element_t<I, std::tuple<Codecs...>>::view(std::get<I>(args_));
    }
    template <size_t I> auto take() { return std::move(std::get<I>(args_)); }

private:
    template <size_t I> void readFrom(ACE_InputCDR& in)
    {
        if constexpr (I < kArgumentCount) {
            using Codec = std::tuple_element_t<I, std::tuple<Codecs...>>;
            bool good = Codec::read(in, std::get<I>(args_));
            countRead();
            if (good)
                readFrom<I + 1>(in);
        } else {
            countRead(); // every argument was read
        }
    }

    std::tuple<typename Codecs::Held...> args_ {};
};

} // namespace zephCDRMarshal
