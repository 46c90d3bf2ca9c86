// A fixed set of worker threads that always run the queued task of highest
// priority first, and among tasks of equal priority the one queued first.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brindle {

class TaskPool {
public:
    class Task {
    public:
        explicit Task(int priority) : priority(priority) {}
        virtual ~Task() = default;
        // Must not throw: the pool does not catch failures of tasks.
        virtual void run() = 0;

        int priority;  // higher runs earlier
    };

    // Starts max(n, 1) workers. If a worker cannot be started, the ones
    // already running are stopped and joined before the error leaves.
    explicit TaskPool(unsigned n);
    // Runs every queued task (also those queued meanwhile), then joins.
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    size_t numWorkers() const { return workers.size(); }

    // Takes ownership, queues the task and wakes one worker. Any thread, also
    // a running task, may call it; the pool's lock is innermost.
    void addTask(std::unique_ptr<Task> task);

private:
    struct Queued {
        std::unique_ptr<Task> task;
        uint64_t sequence;  // order of queueing
    };
    // Whether `a` runs after `b`: the heap's order.
    static bool runsAfter(const Queued& a, const Queued& b);

    std::unique_ptr<Task> getTask();  // null when stopping and empty
    void workerMain();
    void stopAndJoin();

    std::mutex lock;  // guards heap, nextSequence and stopping; never held while a task runs
    std::condition_variable taskAvailable;
    // A binary heap whose root runs next: highest priority, then first
    // queued. First-in first-out among equals keeps frames finishing in the
    // order they came, which is the order the writer takes them.
    std::vector<Queued> heap;
    uint64_t nextSequence = 0;
    std::vector<std::thread> workers;
    bool stopping = false;
};

// Names the calling thread (up to 15 characters show) so that top, perf and
// debuggers tell the library's threads from the host's. Best effort: a
// platform without thread names ignores it.
void nameCurrentThread(const char* name);

}  // namespace brindle
