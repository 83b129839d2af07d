#include "ordered_pool.h"

#include <utility>

namespace quillet_dump {

OrderedPool::OrderedPool(unsigned jobs, std::function<std::unique_ptr<Batch>()> make)
    : jobs_(jobs), make_(std::move(make)) {
  for (unsigned i = 1; i < jobs_; ++i) helpers_.emplace_back([this] { Work(); });
}

OrderedPool::~OrderedPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void OrderedPool::RunFront(std::unique_lock<std::mutex>& lock) {
  Batch* batch = queue_.front();
  queue_.pop_front();
  lock.unlock();
  try {
    batch->Run();
  } catch (...) {
    batch->failure_ = std::current_exception();
  }
  lock.lock();
  batch->done_ = true;
  batch_done_.notify_all();
}

void OrderedPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (closing_) return;
    RunFront(lock);
  }
}

OrderedPool::Batch* OrderedPool::Acquire() {
  if (idle_.empty()) {
    if (submitted_.size() < 2 * static_cast<std::size_t>(jobs_)) {
      batches_.push_back(make_());
      idle_.push_back(batches_.back().get());
    } else {
      FinishOldest();
    }
  }
  Batch* batch = idle_.back();
  idle_.pop_back();
  return batch;
}

void OrderedPool::Submit(Batch* batch) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(batch);
    if (queue_.size() > helpers_.size()) {
      RunFront(lock);
    } else {
      work_ready_.notify_one();
    }
  }
  submitted_.push_back(batch);
}

void OrderedPool::FinishOldest() {
  Batch* batch = submitted_.front();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!batch->done_) {
      if (queue_.empty()) {
        batch_done_.wait(lock);
      } else {
        RunFront(lock);
      }
    }
  }
  submitted_.pop_front();
  // A failed batch is not reused: the pool's owner is expected to give up.
  if (batch->failure_) std::rethrow_exception(batch->failure_);
  batch->Finish();
  batch->done_ = false;
  idle_.push_back(batch);
}

void OrderedPool::FinishReady() {
  while (!submitted_.empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!submitted_.front()->done_) return;
    }
    FinishOldest();
  }
}

void OrderedPool::FinishAll() {
  while (!submitted_.empty()) FinishOldest();
}

}  // namespace quillet_dump
