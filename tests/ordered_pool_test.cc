// quillet-dump's pool for -j: batches handed back in the order they were
// submitted whatever their run times, a bounded number of batches, and a
// batch's exception rethrown in its turn.
#include "ordered_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quillet_dump {
namespace {

// What RunBatches saw.
struct Outcome {
  std::vector<int> finished;  // ids in the order they were handed back
  int made = 0;               // batches the pool made
  bool only_caller = true;    // whether every batch handed back ran on the calling thread
};

class Probe : public OrderedPool::Batch {
 public:
  explicit Probe(Outcome* outcome) : outcome_(outcome) {}
  void Run() override {
    std::this_thread::sleep_for(std::chrono::microseconds(run_micros));
    ran_on_ = std::this_thread::get_id();
    if (fail) throw std::runtime_error("batch " + std::to_string(id));
  }
  // On the calling thread.
  void Finish() override {
    outcome_->finished.push_back(id);
    outcome_->only_caller = outcome_->only_caller && ran_on_ == std::this_thread::get_id();
    id = -1;
  }

  int id = -1;  // -1 while empty
  int run_micros = 0;
  bool fail = false;

 private:
  Outcome* outcome_;
  std::thread::id ran_on_;
};

// Submits `n` batches the way quillet-dump does, batch i running for
// run_micros(i) and throwing when i == failing.
template <typename Micros>
void RunBatches(unsigned jobs, int n, Micros run_micros, int failing, Outcome* outcome) {
  OrderedPool pool(jobs, [outcome] {
    ++outcome->made;
    return std::unique_ptr<OrderedPool::Batch>(new Probe(outcome));
  });
  for (int i = 0; i < n; ++i) {
    Probe* probe = static_cast<Probe*>(pool.Acquire());
    EXPECT_EQ(-1, probe->id) << "batch " << i << " got one not yet handed back";
    probe->id = i;
    probe->run_micros = run_micros(i);
    probe->fail = i == failing;
    pool.Submit(probe);
    pool.FinishReady();
  }
  pool.FinishAll();
}

std::vector<int> Upto(int n) {
  std::vector<int> ids;
  for (int i = 0; i < n; ++i) ids.push_back(i);
  return ids;
}

TEST(OrderedPool, HandsBackInSubmissionOrderWhateverTheRunTimes) {
  for (unsigned jobs : {1u, 2u, 4u}) {
    SCOPED_TRACE(jobs);
    // Early batches slow, late ones quick, and a ragged mix after.
    const auto uneven = [](int i) { return i < 8 ? 3000 - 300 * i : (i * 7919) % 5 * 400; };
    Outcome outcome;
    RunBatches(jobs, 60, uneven, -1, &outcome);
    EXPECT_EQ(Upto(60), outcome.finished);
    // At most 2 * jobs submitted and not handed back, and the one being filled.
    EXPECT_LE(outcome.made, static_cast<int>(2 * jobs + 1));
    if (jobs == 1) {
      EXPECT_TRUE(outcome.only_caller);
    }
  }
}

TEST(OrderedPool, RethrowsAFailureInItsTurnAfterTheBatchesBefore) {
  for (unsigned jobs : {1u, 3u}) {
    SCOPED_TRACE(jobs);
    // Batch 5 fails at once while the ones before it still run; the pool
    // then goes away with later batches queued or running.
    const auto slow_before_five = [](int i) { return i < 5 ? 2000 : 0; };
    Outcome outcome;
    std::string what;
    try {
      RunBatches(jobs, 20, slow_before_five, 5, &outcome);
    } catch (const std::runtime_error& e) {
      what = e.what();
    }
    EXPECT_EQ("batch 5", what);
    EXPECT_EQ(Upto(5), outcome.finished);
  }
}

}  // namespace
}  // namespace quillet_dump
