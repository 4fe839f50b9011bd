#pragma once
// Storage for large outputs that the worker pool fills completely. Sizing it leaves trivial
// values unset, so each page is first touched by the task that writes it (the page faults run
// in parallel) instead of being zeroed serially by the allocating thread.
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvel {

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with huge pages when the
// block is large: one fault per 2 MiB instead of 512. Advice only; ignored where unsupported.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// Gives the whole pages inside [p, p + bytes) back to the system while the block stays allocated:
// what they held is lost (reads give zeros). For the unused tail of a block that shrank in place.
void release_pages(void* p, std::size_t bytes) noexcept;

template <class T, bool HugePages = true>
struct DefaultInitAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U, HugePages>;
    };

    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U, HugePages>&) noexcept {}

    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        if constexpr (HugePages) advise_huge_pages(p, n * sizeof(T));
        return p;
    }

    // Construction without a value default-initialises: nothing is written for trivial types.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// A vector whose size-only constructor and resize leave trivial values unset: every value must
// be written before it is read. A constructor or assign given a value still fills with it.
// Without HugePages a page becomes resident 4 KiB at a time, when it is first written.
template <class T, bool HugePages = true>
using UninitVector = std::vector<T, DefaultInitAllocator<T, HugePages>>;

}  // namespace quorvel
