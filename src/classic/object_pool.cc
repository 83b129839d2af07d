#include "classic/object_pool.h"

#include <new>

#include "classic/thread_free_list.h"
#include "quillet/quillet.h"

namespace quillet {

namespace {

// Blocks come from the global operator new at their class's full size, so
// any block of a class can serve any request of that class.
template <std::size_t Size, std::size_t Capacity>
struct BlockTraits {
  using Item = void*;
  static constexpr std::size_t kSize = Size;
  static constexpr std::size_t kCapacity = Capacity;
  static void Dispose(void*&& block) noexcept { ::operator delete(block); }
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
  using Item = std::vector<Subfield*>*;
  static constexpr std::size_t kCapacity = 512;
  static void Dispose(Item&& list) noexcept { delete list; }
};
using SubfieldLists = ThreadFreeList<ListTraits>;

struct NodeTraits {
  using Item = Record::FieldMap::node_type;
  static constexpr std::size_t kCapacity = 1024;
  static void Dispose(Item&&) noexcept {}  // the handle frees its node
};
using FieldNodes = ThreadFreeList<NodeTraits>;

// A list that grew for an unusually long field is freed rather than kept,
// so a thread holds at most this much room per kept list.
constexpr std::size_t kKeptListCapacity = 64;

template <typename Blocks>
void* AllocateFrom() {
  void* block;
  if (Blocks::Take(block)) return block;
  return ::operator new(Blocks::Traits::kSize);
}

template <typename Blocks>
void FreeTo(void* block) noexcept {
  if (!Blocks::Keep(block)) ::operator delete(block);
}

}  // namespace

void* AllocateFieldBlock(std::size_t size) {
  if (size <= kSubfieldBlock) return AllocateFrom<SubfieldBlocks>();
  if (size <= kFieldBlock) return AllocateFrom<FieldBlocks>();
  return ::operator new(size);
}

void FreeFieldBlock(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  if (size <= kSubfieldBlock) {
    FreeTo<SubfieldBlocks>(block);
  } else if (size <= kFieldBlock) {
    FreeTo<FieldBlocks>(block);
  } else {
    ::operator delete(block);
  }
}

std::vector<Subfield*>* NewSubfieldList() {
  std::vector<Subfield*>* list;
  if (SubfieldLists::Take(list)) return list;
  return new std::vector<Subfield*>;
}

void DeleteSubfieldList(std::vector<Subfield*>* list) noexcept {
  if (list->capacity() > kKeptListCapacity || !SubfieldLists::Keep(list)) delete list;
}

// end() as the hint: after every equal tag, so that equal tags keep
// directory order, and in constant time for a directory in tag order.
void InsertField(Record::FieldMap& fields, const FieldTag& tag, Field* field) {
  Record::FieldMap::node_type node;
  if (FieldNodes::Take(node)) {
    node.key() = tag;
    node.mapped() = field;
    fields.insert(fields.end(), std::move(node));
    return;
  }
  fields.emplace_hint(fields.end(), tag, field);
}

void RecycleFieldNodes(Record::FieldMap& fields) noexcept {
  while (!fields.empty()) {
    Record::FieldMap::node_type node = fields.extract(fields.begin());
    if (!FieldNodes::Keep(node)) break;  // the handle frees its node
  }
  fields.clear();
}

void ReleaseThreadPools() noexcept {
  SubfieldBlocks::Drain();
  FieldBlocks::Drain();
  SubfieldLists::Drain();
  FieldNodes::Drain();
}

}  // namespace quillet
