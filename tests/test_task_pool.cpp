#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "task_pool.hpp"
#include "test_support.hpp"

using brindle::TaskPool;
// Holds a one-worker pool, so that what is queued meanwhile is ordered by the heap alone.
using orvtest::PoolGate;

namespace {

struct FunctionTask : TaskPool::Task {
    FunctionTask(int priority, std::function<void()> body)
        : Task(priority), body(std::move(body)) {}
    void run() override { body(); }
    std::function<void()> body;
};

void add(TaskPool& pool, int priority, std::function<void()> body) {
    pool.addTask(std::make_unique<FunctionTask>(priority, std::move(body)));
}

// What the tasks noted, in the order they ran.
template <typename Entry>
struct Journal {
    void note(const Entry& entry) {
        std::lock_guard<std::mutex> guard(lock);
        entries.push_back(entry);
    }
    std::mutex lock;
    std::vector<Entry> entries;  // read once the pool is gone
};

}  // namespace

TEST(TaskPool, StartsTheWorkersItIsAskedForAndZeroMeansOne) {
    for (const auto& [asked, started] : {std::pair{0u, 1u}, std::pair{3u, 3u}}) {
        TaskPool pool(asked);
        EXPECT_EQ(pool.numWorkers(), started);
        std::promise<void> ran;
        add(pool, 1, [&ran] { ran.set_value(); });
        ran.get_future().wait();
    }
}

#if defined(__linux__)
TEST(TaskPool, WorkersCarryTheLibrarysName) {
    // Profilers and the benchmarks tell the pool's threads apart by it.
    TaskPool pool(1);
    std::promise<std::string> name;
    add(pool, 1, [&name] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name.set_value(buffer);
    });
    EXPECT_EQ(name.get_future().get(), "orv-worker");
}
#endif

TEST(TaskPool, StartedTexturesFinishBeforeNewSlicesBegin) {
    // The pipeline's shape: a slice task (1) queues two encode tasks (2), each
    // encode task queues its compress task (3).
    Journal<std::string> journal;
    {
        TaskPool pool(1);
        PoolGate gate(pool);
        for (const std::string name : {"A", "B"})
            add(pool, 1, [&pool, &journal, name] {
                journal.note("slice " + name);
                for (int texture = 0; texture < 2; ++texture) {
                    const std::string id = name + std::to_string(texture);
                    add(pool, 2, [&pool, &journal, id] {
                        journal.note("encode " + id);
                        add(pool, 3, [&journal, id] { journal.note("compress " + id); });
                    });
                }
            });
        gate.release();
    }
    const std::vector<std::string>& order = journal.entries;
    ASSERT_EQ(order.size(), 10u);
    // Slices run one at a time, and everything a slice started finishes
    // before the next slice; each compress task directly follows its encode.
    for (size_t first : {0u, 5u}) {
        ASSERT_EQ(order[first].rfind("slice ", 0), 0u) << order[first];
        const std::string name = order[first].substr(6);
        for (size_t step = 0; step < 2; ++step) {
            const std::string& encode = order[first + 1 + 2 * step];
            ASSERT_EQ(encode.rfind("encode " + name, 0), 0u) << encode;
            EXPECT_EQ(order[first + 2 + 2 * step], "compress " + encode.substr(7));
        }
    }
}

TEST(TaskPool, RunsTheHighestPriorityFirstAndEqualsInTheOrderQueued) {
    // (priority, order queued) of each task, as the tasks ran.
    Journal<std::pair<int, int>> ran;
    {
        TaskPool pool(1);
        PoolGate gate(pool);
        std::mt19937 random(7);
        for (int i = 0; i < 500; ++i) {
            const int priority = static_cast<int>(random() % 50) - 10;
            add(pool, priority, [&ran, priority, i] { ran.note({-priority, i}); });
        }
        gate.release();
    }
    ASSERT_EQ(ran.entries.size(), 500u);
    EXPECT_TRUE(std::is_sorted(ran.entries.begin(), ran.entries.end()));
}

TEST(TaskPool, TasksQueuedDuringShutdownRunToo) {
    std::atomic<int> chained{0};
    auto pool = std::make_unique<TaskPool>(1);
    std::promise<void> open;
    TaskPool* raw = pool.get();
    add(*raw, 1, [raw, opened = open.get_future().share(), &chained] {
        opened.wait();
        // The pool is stopping (or about to): what is queued now must still run.
        add(*raw, 1, [raw, &chained] {
            ++chained;
            add(*raw, 1, [&chained] { ++chained; });
        });
    });
    std::thread destroyer([&pool] { pool.reset(); });
    open.set_value();
    destroyer.join();
    EXPECT_EQ(chained.load(), 2);
}

TEST(TaskPool, ManyProducersAndWorkersAndDestructionRunsEveryQueuedTask) {
    constexpr int producers = 4, tasksEach = 2000;
    std::atomic<int> count{0};
    {
        TaskPool pool(4);
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&pool, &count, p] {
                for (int i = 0; i < tasksEach; ++i)
                    add(pool, (i + p) % 4, [&count] { count.fetch_add(1); });
            });
        for (std::thread& thread : threads) thread.join();
    }  // with tasks most likely still queued
    EXPECT_EQ(count.load(), producers * tasksEach);
}
