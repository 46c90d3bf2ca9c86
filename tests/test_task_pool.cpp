// The task pool: priority order with queue order among equals, the
// pipeline's depth-first shape, and destruction that runs every task queued,
// also by tasks running during it. Many producers and workers at once are
// exercised by test_stress.

#include <atomic>
#include <functional>
#include <thread>

#include "test_support.hpp"

using brindle::TaskPool;

namespace {

struct FunctionTask : TaskPool::Task {
    FunctionTask(int priority, std::function<void()> body) : Task(priority), body(std::move(body)) {}
    void run() override { body(); }
    std::function<void()> body;
};

void add(TaskPool& pool, int priority, std::function<void()> body) {
    pool.addTask(std::make_unique<FunctionTask>(priority, std::move(body)));
}

}  // namespace

TEST(TaskPool, RunsTheHighestPriorityFirstAndEqualsInTheOrderQueued) {
    // The pipeline's shape: a slice task (1) queues two encode tasks (2), each
    // of which queues its compress task (3), so a slice's work ends before the
    // next begins. The pool is held by the gate, so what is queued meanwhile
    // is ordered by the heap alone; its one worker is the only writer of
    // `order`, read once the pool is gone.
    std::vector<std::string> order;
    {
        TaskPool pool(1);
        orvtest::PoolGate gate(pool);
        for (const std::string name : {"A", "B"})
            add(pool, 1, [&, name] {
                order.push_back("slice " + name);
                for (const std::string& id : {name + "0", name + "1"})
                    add(pool, 2, [&, id] {
                        order.push_back("encode " + id);
                        add(pool, 3, [&, id] { order.push_back("compress " + id); });
                    });
            });
        gate.release();
    }
    EXPECT_EQ(order, (std::vector<std::string>{"slice A", "encode A0", "compress A0", "encode A1",
                                               "compress A1", "slice B", "encode B0", "compress B0",
                                               "encode B1", "compress B1"}));
}

TEST(TaskPool, DestructionRunsEveryTaskQueuedAlsoDuringShutdown) {
    std::atomic<int> chained{0};
    auto pool = std::make_unique<TaskPool>(0);  // zero means one worker
    TaskPool* raw = pool.get();
    orvtest::PoolGate gate(*raw);
    // Runs once the pool is stopping (or about to): what it queues must still run.
    add(*raw, 1, [raw, &chained] {
        add(*raw, 1, [raw, &chained] {
            ++chained;
            add(*raw, 1, [&chained] { ++chained; });
        });
    });
    std::thread destroyer([&pool] { pool.reset(); });
    gate.release();
    destroyer.join();
    EXPECT_EQ(chained.load(), 2);
}
