#ifndef QUILLET_CLASSIC_OBJECT_POOL_H_
#define QUILLET_CLASSIC_OBJECT_POOL_H_

#include <cstddef>
#include <vector>

#include "quillet/quillet.h"

namespace quillet {

// The memory of the objects a record makes per read: field and subfield
// blocks (behind their classes' operator new and delete), the subfield lists
// of data fields and the nodes of the field map. Freed ones are kept in
// bounded per-thread stacks (memory/thread_free_list.h) for the next record
// read on that thread; any thread may free what another made.

// A block of at least `size` bytes; the sizes of fields and subfields are
// served from the thread's stacks, others by the global operator new.
// Throws std::bad_alloc when memory runs out.
void* AllocateFieldBlock(std::size_t size);
// Frees a block from AllocateFieldBlock(size) with the same `size`.
void FreeFieldBlock(void* block, std::size_t size) noexcept;

// An empty subfield list, possibly with room already reserved.
// Throws std::bad_alloc when memory runs out.
std::vector<Subfield*>* NewSubfieldList();
// Frees an empty list from NewSubfieldList().
void DeleteSubfieldList(std::vector<Subfield*>* list) noexcept;

// Inserts (tag, field) after every element with an equal tag, in a kept
// node when there is one. Throws std::bad_alloc when memory runs out.
void InsertField(Record::FieldMap& fields, const FieldTag& tag, Field* field);
// Empties `fields`, keeping its nodes.
void RecycleFieldNodes(Record::FieldMap& fields) noexcept;

// Frees everything the calling thread keeps. For tests that count
// allocations.
void ReleaseThreadPools() noexcept;

}  // namespace quillet

#endif  // QUILLET_CLASSIC_OBJECT_POOL_H_
