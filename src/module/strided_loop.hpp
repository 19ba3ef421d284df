// An element-by-element loop over broadcast, strided arrays of doubles: the
// inputs and the output of a fitting function, each seen through its own
// byte strides, with a stride of zero along every axis it is broadcast over
// (a scalar is one double that every element reads).  Plain C++, run without
// the interpreter lock; any flat range of elements can be run on its own, so
// a call can be divided between threads in any way.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace surface {

// The inputs and the output of the widest fitting function.
inline constexpr std::size_t MAX_OPERANDS = 6;

// One operand as its buffer describes it: its first element, its own shape
// and its strides in bytes.
struct OperandView {
    char* data;
    std::span<const std::ptrdiff_t> shape;
    std::span<const std::ptrdiff_t> strides;
};

class StridedLoop {
public:
    using Pointers = std::array<char*, MAX_OPERANDS>;

    // The loop over `shape` (which every operand broadcasts to; the caller
    // has checked that) reading each operand through its own strides.
    // Axes of length one are dropped and neighbouring axes that every
    // operand walks as one are merged, so a contiguous array of any shape,
    // or one with scalars beside it, becomes a single run.
    StridedLoop(std::span<const std::ptrdiff_t> shape, std::span<const OperandView> operands)
        : operands_(operands.size()) {
        const std::size_t nd = shape.size();
        for (std::size_t k = 0; k < operands_; ++k) {
            base_[k] = operands[k].data;
        }
        size_ = 1;
        for (std::size_t axis = 0; axis < nd; ++axis) {
            size_ *= static_cast<std::size_t>(shape[axis]);
        }
        for (std::size_t axis = 0; axis < nd; ++axis) {
            if (shape[axis] == 1) {
                continue;  // any stride walks a single element the same way
            }
            Strides s{};
            for (std::size_t k = 0; k < operands_; ++k) {
                const OperandView& op = operands[k];
                const std::size_t lead = nd - op.shape.size();  // axes the operand lacks
                if (axis >= lead && op.shape[axis - lead] != 1) {
                    s[k] = op.strides[axis - lead];
                }
            }
            if (!shape_.empty() && mergeable(strides_.back(), s, shape[axis])) {
                shape_.back() *= shape[axis];
                strides_.back() = s;
                continue;
            }
            shape_.push_back(shape[axis]);
            strides_.push_back(s);
        }
    }

    // The number of elements.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Calls body(pointers) for the flat elements [begin, end) in order,
    // pointers[k] being operand k's element.  Asks stop() before every
    // `every`-th element, the first included; returns false as soon as it
    // answers true.
    template <class Body, class Stop>
    bool run(std::size_t begin, std::size_t end, Body&& body, Stop&& stop,
             std::size_t every) const {
        if (begin >= end) {
            return true;
        }
        const std::size_t nd = shape_.size();
        if (nd == 0) {  // a single element
            if (stop()) {
                return false;
            }
            body(base_);
            return true;
        }
        std::vector<std::ptrdiff_t> index(nd);
        std::size_t rest = begin;
        for (std::size_t axis = nd; axis-- > 0;) {
            const auto extent = static_cast<std::size_t>(shape_[axis]);
            index[axis] = static_cast<std::ptrdiff_t>(rest % extent);
            rest /= extent;
        }
        const Strides& inner = strides_.back();
        std::size_t until_poll = 0;
        std::size_t at = begin;
        while (at < end) {
            Pointers p = pointers_at(index);
            const std::size_t run_length = std::min(
                static_cast<std::size_t>(shape_.back() - index.back()), end - at);
            for (std::size_t i = 0; i < run_length; ++i) {
                if (until_poll == 0) {
                    if (stop()) {
                        return false;
                    }
                    until_poll = every;
                }
                --until_poll;
                body(p);
                for (std::size_t k = 0; k < operands_; ++k) {
                    p[k] += inner[k];
                }
            }
            at += run_length;
            index.back() += static_cast<std::ptrdiff_t>(run_length);
            for (std::size_t axis = nd - 1; axis > 0 && index[axis] == shape_[axis]; --axis) {
                index[axis] = 0;
                ++index[axis - 1];
            }
        }
        return true;
    }

    // Byte strides, one per operand.
    using Strides = std::array<std::ptrdiff_t, MAX_OPERANDS>;

    // As run, but hands the elements over in runs of at most `block` that
    // share the innermost strides: body(pointers, strides, count) for each,
    // element i of a run being at pointers[k] + i * strides[k].  A body
    // that computes several elements at once sees them together this way.
    // Asks stop() before the first run and then before a run once `every`
    // elements or more have passed since the last ask.
    template <class Body, class Stop>
    bool run_blocks(std::size_t begin, std::size_t end, std::size_t block, Body&& body,
                    Stop&& stop, std::size_t every) const {
        if (begin >= end) {
            return true;
        }
        const std::size_t nd = shape_.size();
        if (nd == 0) {  // a single element
            if (stop()) {
                return false;
            }
            body(base_, Strides{}, std::size_t{1});
            return true;
        }
        std::vector<std::ptrdiff_t> index(nd);
        std::size_t rest = begin;
        for (std::size_t axis = nd; axis-- > 0;) {
            const auto extent = static_cast<std::size_t>(shape_[axis]);
            index[axis] = static_cast<std::ptrdiff_t>(rest % extent);
            rest /= extent;
        }
        const Strides& inner = strides_.back();
        std::size_t since_poll = every;
        std::size_t at = begin;
        while (at < end) {
            Pointers p = pointers_at(index);
            const std::size_t run_length = std::min(
                static_cast<std::size_t>(shape_.back() - index.back()), end - at);
            for (std::size_t i = 0; i < run_length;) {
                if (since_poll >= every) {
                    if (stop()) {
                        return false;
                    }
                    since_poll = 0;
                }
                const std::size_t count = std::min(block, run_length - i);
                body(p, inner, count);
                for (std::size_t k = 0; k < operands_; ++k) {
                    p[k] += static_cast<std::ptrdiff_t>(count) * inner[k];
                }
                i += count;
                since_poll += count;
            }
            at += run_length;
            index.back() += static_cast<std::ptrdiff_t>(run_length);
            for (std::size_t axis = nd - 1; axis > 0 && index[axis] == shape_[axis]; --axis) {
                index[axis] = 0;
                ++index[axis - 1];
            }
        }
        return true;
    }

private:

    // Whether an axis of `outer` strides, followed by one of `extent`
    // elements with `inner` strides, is one axis of inner strides.
    [[nodiscard]] bool mergeable(const Strides& outer, const Strides& inner,
                                 std::ptrdiff_t extent) const noexcept {
        for (std::size_t k = 0; k < operands_; ++k) {
            if (outer[k] != inner[k] * extent) {
                return false;
            }
        }
        return true;
    }

    [[nodiscard]] Pointers pointers_at(const std::vector<std::ptrdiff_t>& index) const noexcept {
        Pointers p = base_;
        for (std::size_t axis = 0; axis < index.size(); ++axis) {
            for (std::size_t k = 0; k < operands_; ++k) {
                p[k] += index[axis] * strides_[axis][k];
            }
        }
        return p;
    }

    std::size_t operands_;
    Pointers base_{};
    std::size_t size_ = 1;
    std::vector<std::ptrdiff_t> shape_;  // merged axes, outermost first
    std::vector<Strides> strides_;       // per merged axis, per operand
};

// A double read from or written to an element of a strided buffer, which
// need not be aligned for double.
[[nodiscard]] inline double load(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(char* p, double v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace surface
