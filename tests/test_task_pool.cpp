#include <gtest/gtest.h>
#include <pthread.h>

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

using brindle::TaskPool;

namespace {

class FunctionTask : public TaskPool::Task {
public:
    FunctionTask(int priority, std::function<void()> body)
        : Task(priority), body(std::move(body)) {}
    void run() override { body(); }

private:
    std::function<void()> body;
};

void add(TaskPool& pool, int priority, std::function<void()> body) {
    pool.addTask(std::make_unique<FunctionTask>(priority, std::move(body)));
}

// Keeps the single worker of a pool busy until opened, so that everything
// queued meanwhile is ordered by the heap alone.
class Gate {
public:
    explicit Gate(TaskPool& pool) {
        std::shared_future<void> opened = open.get_future().share();
        add(pool, 1000, [opened] { opened.wait(); });
    }
    void release() { open.set_value(); }

private:
    std::promise<void> open;
};

// The order in which tasks ran, written by the workers.
class Journal {
public:
    void note(const std::string& entry) {
        std::lock_guard<std::mutex> guard(lock);
        entries.push_back(entry);
    }
    std::vector<std::string> read() {
        std::lock_guard<std::mutex> guard(lock);
        return entries;
    }

private:
    std::mutex lock;
    std::vector<std::string> entries;
};

}  // namespace

TEST(TaskPool, ZeroWorkersMeansOne) {
    TaskPool pool(0);
    EXPECT_EQ(pool.numWorkers(), 1u);
    std::promise<void> ran;
    add(pool, 1, [&ran] { ran.set_value(); });
    ran.get_future().wait();
}

TEST(TaskPool, StartsTheWorkersItIsAskedFor) {
    TaskPool pool(3);
    EXPECT_EQ(pool.numWorkers(), 3u);
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
    Journal journal;
    {
        TaskPool pool(1);
        Gate gate(pool);
        for (const char* slice : {"A", "B"}) {
            const std::string name = slice;
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
        }
        gate.release();
    }
    const std::vector<std::string> order = journal.read();
    ASSERT_EQ(order.size(), 10u);
    // Slices run one at a time, and everything a slice started finishes
    // before the next slice; each compress task directly follows its encode.
    for (size_t first : {0u, 5u}) {
        ASSERT_EQ(order[first].rfind("slice ", 0), 0u) << order[first];
        const std::string name = order[first].substr(6);
        for (size_t step = 0; step < 2; ++step) {
            const std::string& encode = order[first + 1 + 2 * step];
            const std::string& compress = order[first + 2 + 2 * step];
            ASSERT_EQ(encode.rfind("encode " + name, 0), 0u) << encode;
            EXPECT_EQ(compress, "compress " + encode.substr(7));
        }
    }
}

TEST(TaskPool, RunsTheHighestPriorityFirst) {
    std::vector<int> ran;
    std::mutex lock;
    {
        TaskPool pool(1);
        Gate gate(pool);
        std::mt19937 random(7);
        for (int i = 0; i < 500; ++i) {
            const int priority = static_cast<int>(random() % 50) - 10;
            add(pool, priority, [&ran, &lock, priority] {
                std::lock_guard<std::mutex> guard(lock);
                ran.push_back(priority);
            });
        }
        gate.release();
    }
    ASSERT_EQ(ran.size(), 500u);
    for (size_t i = 1; i < ran.size(); ++i) EXPECT_GE(ran[i - 1], ran[i]) << "at " << i;
}

TEST(TaskPool, DestructionRunsEveryQueuedTask) {
    std::atomic<int> count{0};
    {
        TaskPool pool(2);
        for (int i = 0; i < 1000; ++i) add(pool, i % 3, [&count] { ++count; });
    }
    EXPECT_EQ(count.load(), 1000);
}

TEST(TaskPool, TasksQueuedDuringShutdownRunToo) {
    std::atomic<int> chained{0};
    auto pool = std::make_unique<TaskPool>(1);
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    TaskPool* raw = pool.get();
    add(*raw, 1, [raw, opened, &chained] {
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

TEST(TaskPool, ManyProducersAndWorkers) {
    constexpr int producers = 4;
    constexpr int tasksEach = 2000;
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
    }
    EXPECT_EQ(count.load(), producers * tasksEach);
}
