#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/thread_pool.h"
#include "startup/process_objects.h"

namespace {

// Holds a worker until released.
struct gate_t {
  std::promise<void> open;
  std::shared_future<void> opened = open.get_future().share();
};

}  // namespace

TEST(ThreadPool, NewestTaskRunsFirstWhenWorkersAreBusy) {
  gate_t gate;
  std::promise<void> started;
  std::mutex m;
  std::string order;
  {
    ThreadPool p(1);
    p.enqueue([&] {
      started.set_value();
      gate.opened.wait();
    });
    started.get_future().wait();  // the only worker is now busy
    for (char name : std::string("ABC"))
      p.enqueue([&, name] {
        std::lock_guard<std::mutex> lock(m);
        order += name;
      });
    gate.open.set_value();
  }
  EXPECT_EQ(order, "CBA");
}

TEST(ThreadPool, IdleWorkerRunsTaskAndFutureCarriesResult) {
  ThreadPool p(4);
  auto f = p.enqueue([](int a, int b) { return a + b; }, 2, 3);
  ASSERT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(f.get(), 5);
}

// Destruction runs every task that was queued, and enqueue during it throws.
TEST(ThreadPool, DestructionDrainsQueueAndRefusesNewTasks) {
  std::atomic<int> ran{0};
  std::atomic<int> refused{0};
  std::string message;
  {
    auto p = std::make_unique<ThreadPool>(2);
    ThreadPool* raw = p.get();
    // Both workers busy first, so that everything below stays queued.
    std::atomic<int> started{0};
    for (int k = 0; k < 2; ++k)
      p->enqueue([&started] {
        ++started;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      });
    while (started < 2) std::this_thread::yield();
    // The oldest task runs last: by then the destructor has set stop.
    p->enqueue([&, raw] {
      try {
        raw->enqueue([] {});
      } catch (const std::runtime_error& e) {
        message = e.what();
        ++refused;
      }
    });
    for (int k = 0; k < 200; ++k) p->enqueue([&] { ++ran; });
    p.reset();
  }
  EXPECT_EQ(ran, 200);
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(message, "enqueue on stopped ThreadPool");
}

TEST(ThreadPool, ThrowingTaskLeavesWorkerRunning) {
  ThreadPool p(1);
  auto bad = p.enqueue([]() -> int { throw std::runtime_error("task failed"); });
  EXPECT_THROW(bad.get(), std::runtime_error);
  auto good = p.enqueue([] { return 7; });
  EXPECT_EQ(good.get(), 7);
}

// The pools, the pose socket and the frame clock's first reading come to
// life in this order whatever the link order, so that the first frame's
// time spans the start-up and webpool is torn down before pool.
TEST(ProcessObjects, ConstructedInStartUpOrder) {
  EXPECT_EQ(processObjectsConstructionOrder(),
            (std::vector<process_object>{process_object_decode_pool, process_object_download_pool,
                                         process_object_pose_socket, process_object_frame_clock}));
}
