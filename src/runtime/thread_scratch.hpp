// Working storage kept once per thread, for arrays too large to claim on a
// thread's stack at every call: a Python thread may have been given as
// little as 32 KiB of stack (threading.stack_size), and a darkened source's
// quadrature works on arrays of some 10^3 nodes.
#pragma once

#include <memory>

namespace runtime {

// The calling thread's T, made on its first use and freed when the thread
// ends.  Each type is one object per thread, so a function whose work may
// call another that takes storage must use a type of its own; a function
// must not take its own type again while it holds it.  May throw
// std::bad_alloc on first use.
template <class T>
T& thread_scratch() {
    thread_local std::unique_ptr<T> scratch;
    if (!scratch) {
        scratch = std::make_unique<T>();
    }
    return *scratch;
}

// The calling thread's T, held for as long as the claim lives: for storage
// that a computation keeps while it polls for signals.  A signal handler run
// at such a poll may call the same computation on the same thread; its
// claim finds the thread's T held and gets a T of its own, made for it and
// freed with it, so that neither call overwrites the other's work.  The
// thread's T is made on its first claim and freed when the thread ends.
// May throw std::bad_alloc.
template <class T>
class ScratchClaim {
public:
    ScratchClaim() {
        Slot& slot = thread_slot();
        if (slot.held) {
            own_ = std::make_unique<T>();
            value_ = own_.get();
            return;
        }
        if (!slot.value) {
            slot.value = std::make_unique<T>();
        }
        slot.held = true;
        value_ = slot.value.get();
    }
    ~ScratchClaim() {
        if (!own_) {
            thread_slot().held = false;
        }
    }
    ScratchClaim(const ScratchClaim&) = delete;
    ScratchClaim& operator=(const ScratchClaim&) = delete;

    T& operator*() const noexcept { return *value_; }

private:
    struct Slot {
        std::unique_ptr<T> value;
        bool held = false;
    };
    // Not inlined: the compiler would otherwise look the thread's storage up
    // again wherever the claim is used.
    [[gnu::noinline]] static Slot& thread_slot() {
        thread_local Slot slot;
        return slot;
    }

    std::unique_ptr<T> own_;
    T* value_ = nullptr;
};

}  // namespace runtime
