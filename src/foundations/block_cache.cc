#include "foundations/block_cache.h"

#include <new>

namespace quillet {

namespace {

struct Block {
  Block* next;
};

// Trivially destructible, so it may still be read while the thread's
// destructors run; `retired` tells that the lists were returned.
struct ThreadLists {
  Block* head[2];
  std::size_t count[2];
  bool registered;
  bool retired;
};

// The initial-exec model reaches the lists without a call per access; it
// costs a few bytes of the static TLS block, which is fine for a library
// that is linked rather than loaded late.
#if defined(__GNUC__) && defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local ThreadLists t_lists;

void Drain(ThreadLists& lists) noexcept {
  for (int c = 0; c < 2; ++c) {
    while (Block* b = lists.head[c]) {
      lists.head[c] = b->next;
      ::operator delete(b);
    }
    lists.count[c] = 0;
  }
}

// Its destructor returns the thread's blocks when the thread ends.
struct Reaper {
  ~Reaper() {
    Drain(t_lists);
    t_lists.retired = true;
  }
};

thread_local Reaper t_reaper;

inline int SizeClass(std::size_t size) { return size <= kSmallBlock ? 0 : 1; }
inline std::size_t ClassSize(int c) { return c == 0 ? kSmallBlock : kLargeBlock; }

}  // namespace

void* AllocateBlock(std::size_t size) {
  if (size > kLargeBlock) return ::operator new(size);
  ThreadLists& lists = t_lists;
  const int c = SizeClass(size);
  if (Block* b = lists.head[c]) {
    lists.head[c] = b->next;
    --lists.count[c];
    return b;
  }
  return ::operator new(ClassSize(c));
}

void FreeBlock(void* block, std::size_t size) noexcept {
  if (!block) return;
  if (size > kLargeBlock) {
    ::operator delete(block);
    return;
  }
  ThreadLists& lists = t_lists;
  const int c = SizeClass(size);
  if (lists.retired || lists.count[c] >= kCachedBlocks) {
    ::operator delete(block);
    return;
  }
  if (!lists.registered) {
    // Touching the reaper constructs it, which schedules its destructor.
    lists.registered = true;
    static_cast<void>(&t_reaper);
  }
  Block* b = static_cast<Block*>(block);
  b->next = lists.head[c];
  lists.head[c] = b;
  ++lists.count[c];
}

void ReleaseCachedBlocks() noexcept { Drain(t_lists); }

}  // namespace quillet
