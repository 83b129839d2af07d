#include "record/node_cache.h"

#include <vector>

namespace quillet {

namespace {

// Nodes kept per thread at most (about 32 KiB).
constexpr std::size_t kCachedNodes = 512;

// Allocated on first use and reached through a trivially destructible
// pointer, so the fast path is one TLS load; NodeReaper frees it when the
// thread ends, after which nodes are no longer kept.
struct Nodes {
  std::vector<Record::FieldMap::node_type> free;
};

#if defined(__GNUC__) && defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local Nodes* t_nodes = nullptr;
// Set once the thread's cache is freed; trivially destructible, so it can
// still be read by destructors that run after the reaper's.
thread_local bool t_nodes_retired = false;

struct NodeReaper {
  ~NodeReaper() {
    delete t_nodes;
    t_nodes = nullptr;
    t_nodes_retired = true;
  }
};
thread_local NodeReaper t_node_reaper;

Nodes* ThreadNodes() {
  if (t_nodes) return t_nodes;
  if (t_nodes_retired) return nullptr;
  static_cast<void>(&t_node_reaper);  // constructing it schedules its destructor
  t_nodes = new Nodes;
  t_nodes->free.reserve(kCachedNodes);
  return t_nodes;
}

}  // namespace

void ReleaseCachedNodes() noexcept {
  if (t_nodes) t_nodes->free.clear();
}

void RecycleNodes(Record::FieldMap& fields) noexcept {
  Nodes* nodes = nullptr;
  try {
    nodes = ThreadNodes();
  } catch (...) {
  }
  if (nodes) {
    while (!fields.empty() && nodes->free.size() < kCachedNodes) {
      nodes->free.push_back(fields.extract(fields.begin()));
    }
  }
  fields.clear();
}

// end() as the hint: the element goes after every equal tag, and a
// directory in ascending order inserts in constant time.
void InsertField(Record::FieldMap& fields, const FieldTag& tag, Field* field) {
  Nodes* nodes = t_nodes;
  if (nodes && !nodes->free.empty()) {
    Record::FieldMap::node_type node = std::move(nodes->free.back());
    nodes->free.pop_back();
    node.key() = tag;
    node.mapped() = field;
    fields.insert(fields.end(), std::move(node));
    return;
  }
  fields.emplace_hint(fields.end(), tag, field);
}

}  // namespace quillet
