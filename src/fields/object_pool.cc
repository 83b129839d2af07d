#include "fields/object_pool.h"

#include <new>

#include "fields/thread_free_list.h"
#include "quillet/quillet.h"

namespace quillet {

namespace {

// Blocks come from the global operator new at their class's full size, so
// any block of a class can serve any request of that class.
template <std::size_t Size, std::size_t Capacity>
struct BlockTraits {
  struct Item {
    alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) unsigned char bytes[Size];
  };
  static constexpr std::size_t kCapacity = Capacity;
  static void Dispose(Item* block) noexcept { ::operator delete(block); }
};

constexpr std::size_t kSubfieldBlock = 16;
constexpr std::size_t kFieldBlock = 32;
using SubfieldBlocks = ThreadFreeList<BlockTraits<kSubfieldBlock, 2048>>;
using FieldBlocks = ThreadFreeList<BlockTraits<kFieldBlock, 1024>>;

static_assert(sizeof(Subfield) <= kSubfieldBlock, "a Subfield fits its block");
static_assert(sizeof(ControlField) <= kFieldBlock && sizeof(DataField) <= kFieldBlock,
              "fields fit their blocks");
static_assert(alignof(Subfield) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ &&
                  alignof(DataField) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
              "blocks are aligned for the classes they hold; over-aligned classes derived by "
              "callers take the aligned operator new, which is not pooled");

struct ListTraits {
  using Item = std::vector<Subfield*>;
  static constexpr std::size_t kCapacity = 512;
  static void Dispose(Item* list) noexcept { delete list; }
};
using SubfieldLists = ThreadFreeList<ListTraits>;

// A list that grew for an unusually long field is freed rather than kept,
// so a thread holds at most this much room per kept list.
constexpr std::size_t kKeptListCapacity = 64;

template <typename Blocks>
void* Allocate() {
  if (void* block = Blocks::Take()) return block;
  return ::operator new(sizeof(typename Blocks::Item));
}

template <typename Blocks>
void Free(void* block) noexcept {
  auto* item = static_cast<typename Blocks::Item*>(block);
  if (!Blocks::Keep(item)) Blocks::Traits::Dispose(item);
}

}  // namespace

void* AllocateFieldBlock(std::size_t size) {
  if (size <= kSubfieldBlock) return Allocate<SubfieldBlocks>();
  if (size <= kFieldBlock) return Allocate<FieldBlocks>();
  return ::operator new(size);
}

void FreeFieldBlock(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  if (size <= kSubfieldBlock) {
    Free<SubfieldBlocks>(block);
  } else if (size <= kFieldBlock) {
    Free<FieldBlocks>(block);
  } else {
    ::operator delete(block);
  }
}

std::vector<Subfield*>* NewSubfieldList() {
  if (std::vector<Subfield*>* list = SubfieldLists::Take()) return list;
  return new std::vector<Subfield*>;
}

void DeleteSubfieldList(std::vector<Subfield*>* list) noexcept {
  if (list->capacity() > kKeptListCapacity || !SubfieldLists::Keep(list)) delete list;
}

void ReleaseThreadPools() noexcept {
  SubfieldBlocks::Drain();
  FieldBlocks::Drain();
  SubfieldLists::Drain();
}

}  // namespace quillet
