#ifndef QUILLET_FOUNDATIONS_BLOCK_CACHE_H_
#define QUILLET_FOUNDATIONS_BLOCK_CACHE_H_

#include <cstddef>

namespace quillet {

// Recycles the small blocks that fields and subfields are made of: a record
// makes and frees dozens of them per read, and the general allocator's cost
// per block dominated a full walk.
//
// Each thread keeps its own bounded list of free blocks of one size class,
// so nothing is shared and no lock is taken. A block is ordinary memory from
// the global operator new: one made on one thread may be freed on another
// (it then joins that thread's list, or is returned when the list is full).
// A thread's blocks are returned when it ends; blocks freed after that, during
// the thread's own teardown, go straight back to the global allocator.
//
// The sizes served: fields (at most kLargeBlock bytes) and subfields (at most
// kSmallBlock). Anything larger, such as a class derived by a caller, is
// passed to the global operator new and delete.
constexpr std::size_t kSmallBlock = 16;
constexpr std::size_t kLargeBlock = 32;

// Blocks kept per thread and size class at most (64 KiB of large blocks).
constexpr std::size_t kCachedBlocks = 2048;

void* AllocateBlock(std::size_t size);
void FreeBlock(void* block, std::size_t size) noexcept;

// Returns every cached block of the calling thread to the global allocator.
// For tests that count allocations.
void ReleaseCachedBlocks() noexcept;

}  // namespace quillet

#endif  // QUILLET_FOUNDATIONS_BLOCK_CACHE_H_
