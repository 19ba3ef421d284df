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

}  // namespace runtime
