#ifndef QUILLET_RECORD_NODE_CACHE_H_
#define QUILLET_RECORD_NODE_CACHE_H_

#include "quillet/quillet.h"

// The nodes of the field map are recycled the way field and subfield blocks
// are (see foundations/block_cache.h): emptying a record keeps them in a
// bounded per-thread cache, the next directory parse on that thread takes
// them back, and a thread's cache is freed when the thread ends. Nodes are
// interchangeable between maps of this type, so records of one thread share
// the cache and a record emptied on another thread feeds that thread's.

namespace quillet {

// Empties `fields`, keeping its nodes in the calling thread's cache.
void RecycleNodes(Record::FieldMap& fields) noexcept;

// Inserts (tag, field) after every element with an equal tag, in a cached
// node when there is one.
void InsertField(Record::FieldMap& fields, const FieldTag& tag, Field* field);

// Frees the calling thread's cached nodes. For tests that count allocations.
void ReleaseCachedNodes() noexcept;

}  // namespace quillet

#endif  // QUILLET_RECORD_NODE_CACHE_H_
