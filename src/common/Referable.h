#pragma once
// Referable: the virtual base of reference-counted objects.
//
// Thread-safety: reference() and release() may be called from any thread.
// The object deletes itself when release() brings the count to 0, so the
// caller must not touch it afterwards.

#include <atomic>

namespace kav {

class Referable {
public:
    // Most holders start with the creator's reference (1); classes whose
    // first holder takes its own reference start at 0.
    explicit Referable(long initialCount = 1) : count_(initialCount) {}
    Referable(const Referable&) = delete;
    Referable& operator=(const Referable&) = delete;

    // Returns the count after the increment.
    virtual long reference() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }

    // Returns the count after the decrement; at 0 the object is deleted.
    virtual long release()
    {
        long left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

    long referenceCount() const { return count_.load(std::memory_order_relaxed); }

protected:
    virtual ~Referable() = default;

private:
    std::atomic<long> count_;
};

// Holds one reference for the lifetime of a scope or a member.
template <class T>
class RefPtr {
public:
    RefPtr() = default;
    // Adopts a reference the caller already holds.
    static RefPtr adopt(T* p) { RefPtr r; r.p_ = p; return r; }
    // Takes a new reference.
    explicit RefPtr(T* p) : p_(p) { if (p_) p_->reference(); }
    RefPtr(const RefPtr& o) : p_(o.p_) { if (p_) p_->reference(); }
    RefPtr(RefPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    RefPtr& operator=(RefPtr o) noexcept { std::swap(p_, o.p_); return *this; }
    ~RefPtr() { if (p_) p_->release(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives the held reference to the caller.
    T* detach() { T* p = p_; p_ = nullptr; return p; }

private:
    T* p_ = nullptr;
};

} // namespace kav
