#ifndef QUILLET_TOOLS_DUMP_ORDERED_POOL_H_
#define QUILLET_TOOLS_DUMP_ORDERED_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quillet_dump {

// Runs batches of work on `jobs` threads and hands them back in the order
// they were submitted, whatever order they ran in. The thread that owns the
// pool is one of the `jobs`: it starts `jobs - 1` helpers, and runs a queued
// batch itself whenever they fall behind, so that filling batches never
// competes with a full set of workers for the cores.
//
// The pool owns its batches: `make` makes one when no idle one is left and
// fewer than 2 * jobs are submitted and not yet handed back; past that,
// Acquire() waits for the oldest. Batches are reused, and so are the
// threads, because the record library keeps its free lists per thread.
//
// Every member is for the owner's thread only. A batch is the owner's from
// Acquire() to Submit() and again while it is handed back (Finish()), a
// worker's while it runs; the pool's mutex orders the two.
class OrderedPool {
 public:
  class Batch {
   public:
    virtual ~Batch() = default;
    // The work, on any of the pool's threads. What it throws is rethrown
    // by the pool on the owner's thread when the batch's turn comes.
    virtual void Run() = 0;
    // On the owner's thread, once Run() has returned, in submission order:
    // takes what the run made and leaves the batch empty for reuse.
    virtual void Finish() = 0;

   private:
    friend class OrderedPool;
    std::exception_ptr failure_;
    bool done_ = false;  // guarded by the pool's mutex
  };

  // REQUIRES: jobs >= 1.
  OrderedPool(unsigned jobs, std::function<std::unique_ptr<Batch>()> make);
  // Stops and joins the helpers; batches submitted and not handed back are
  // dropped, whether they ran or not.
  ~OrderedPool();
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // An empty batch to fill: an idle one, a new one, or else the oldest
  // submitted one once it has run and is handed back (Finish()).
  Batch* Acquire();
  // Queues `batch`, from Acquire() and filled. When more batches wait than
  // there are helpers, runs the oldest waiting one on this thread first.
  void Submit(Batch* batch);
  // Hands back, in order, the submitted batches that have run, up to the
  // first one that has not; does not wait.
  void FinishReady();
  // Hands back every submitted batch, in order, running waiting ones on
  // this thread rather than wait for a helper to take them.
  void FinishAll();

 private:
  // Runs the batch at the front of `queue_`; `lock` is held on entry and on
  // return, and released while the batch runs.
  void RunFront(std::unique_lock<std::mutex>& lock);
  void FinishOldest();
  void Work();

  const unsigned jobs_;
  const std::function<std::unique_ptr<Batch>()> make_;
  // Every batch made, so that they outlive the helpers, which are joined
  // before the members go.
  std::vector<std::unique_ptr<Batch>> batches_;
  std::vector<Batch*> idle_;
  std::deque<Batch*> submitted_;  // not yet handed back, in order

  std::mutex mutex_;
  std::condition_variable work_ready_, batch_done_;
  std::deque<Batch*> queue_;  // submitted and not yet taken by a thread; guarded by mutex_
  bool closing_ = false;      // guarded by mutex_
  std::vector<std::thread> helpers_;
};

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_ORDERED_POOL_H_
