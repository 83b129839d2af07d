#ifndef QUILLET_CLASSIC_THREAD_FREE_LIST_H_
#define QUILLET_CLASSIC_THREAD_FREE_LIST_H_

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

// QUILLET_PROFILE_POOLS keeps the pools on under valgrind, for counting
// instructions with callgrind; never for memcheck runs.
#if defined(__has_include) && !defined(QUILLET_PROFILE_POOLS)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define QUILLET_HAS_VALGRIND_H 1
#endif
#endif

namespace quillet {

// Whether freed objects may be kept for reuse at all. AddressSanitizer and
// valgrind only see a use after free when the memory really goes back to the
// allocator, so those builds and runs keep nothing.
#if defined(__SANITIZE_ADDRESS__)
#define QUILLET_KEEP_FREED_OBJECTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLET_KEEP_FREED_OBJECTS 0
#endif
#endif
#ifndef QUILLET_KEEP_FREED_OBJECTS
#define QUILLET_KEEP_FREED_OBJECTS 1
#endif

inline bool RunningUnderValgrind() {
#ifdef QUILLET_HAS_VALGRIND_H
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

// A bounded per-thread stack of freed objects of one kind, so that the
// objects a record makes and frees by the dozen per read skip the general
// allocator. `Traits` gives the item type (a pointer to a freed block, or a
// movable handle that owns one), the bound, and how an item really goes away:
//   struct Traits { using Item = ...; static constexpr std::size_t kCapacity = ...;
//                   static void Dispose(Item&& item) noexcept; };
//
// Threads: each thread reaches only its own stack, so no lock is taken. An
// item taken on one thread may be kept on another; it then joins that
// thread's stack.
// Lifetime: the stack sits in trivially destructible thread-local storage,
// readable until the thread is gone. The first Keep() on a thread constructs
// a reaper whose destructor, at thread exit, disposes of the stack and
// retires it; later Keep() calls (from destructors that run after the
// reaper's) refuse, and the caller frees the item itself.
// Memory: nothing here allocates, so keeping and taking never fail.
template <typename TraitsT>
class ThreadFreeList {
 public:
  using Traits = TraitsT;
  using Item = typename Traits::Item;

  // Moves a kept item into `out`; false when there is none.
  static bool Take(Item& out) noexcept {
    Stack& s = stack_;
    if (s.count == 0) return false;
    Item* slot = s.At(--s.count);
    out = std::move(*slot);
    slot->~Item();
    return true;
  }

  // Keeps `item` for a later Take(); false, with `item` untouched, when the
  // caller must free it.
  static bool Keep(Item& item) noexcept {
    if (!QUILLET_KEEP_FREED_OBJECTS) return false;
    Stack& s = stack_;
    if (s.count == Traits::kCapacity || s.retired) return false;
    if (!s.registered) {
      s.registered = true;
      // Under valgrind the stack is born retired, so every free is real.
      s.retired = RunningUnderValgrind();
      if (s.retired) return false;
      static_cast<void>(&reaper_);  // odr-use constructs it for this thread
    }
    new (s.At(s.count++)) Item(std::move(item));
    return true;
  }

  // Disposes of the calling thread's kept items.
  static void Drain() noexcept {
    Stack& s = stack_;
    while (s.count != 0) {
      Item* slot = s.At(--s.count);
      Traits::Dispose(std::move(*slot));
      slot->~Item();
    }
  }

 private:
  static_assert(std::is_nothrow_move_constructible<Item>::value &&
                    std::is_nothrow_move_assignable<Item>::value,
                "items move without throwing");

  struct Stack {
    Item* At(std::size_t i) { return reinterpret_cast<Item*>(slots[i]); }
    alignas(Item) unsigned char slots[Traits::kCapacity][sizeof(Item)];
    std::size_t count;
    bool registered;
    bool retired;
  };
  struct Reaper {
    ~Reaper() {
      Drain();
      stack_.retired = true;
    }
  };

  static thread_local Stack stack_;
  static thread_local Reaper reaper_;
};

template <typename Traits>
thread_local typename ThreadFreeList<Traits>::Stack ThreadFreeList<Traits>::stack_;
template <typename Traits>
thread_local typename ThreadFreeList<Traits>::Reaper ThreadFreeList<Traits>::reaper_;

}  // namespace quillet

#endif  // QUILLET_CLASSIC_THREAD_FREE_LIST_H_
