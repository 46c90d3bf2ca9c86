// A fixed set of worker threads that always run the queued task of highest
// priority first.
#pragma once

#include <condition_variable>
#include <cstddef>
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
        // Gives back the heap room reserved for the task if it was never queued.
        virtual ~Task();
        // Must not throw: the pool does not catch failures of tasks.
        virtual void run() = 0;

        int priority;  // higher runs earlier

    private:
        friend class TaskPool;
        TaskPool* reservedIn = nullptr;  // the pool that holds heap room for this task
    };

    // Starts max(n, 1) workers. If a worker cannot be started, the ones
    // already running are stopped and joined before the error leaves.
    explicit TaskPool(unsigned n);
    // Runs every queued task (also those queued meanwhile), then joins.
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    size_t numWorkers() const { return workers.size(); }

    // Makes room in the heap for `task` ahead of time, so that queueing it
    // cannot fail: work that must finish once begun builds its later tasks
    // and reserves their room before it starts. Throws std::bad_alloc with
    // nothing changed. The room is the task's until it is queued or destroyed.
    void reserve(Task& task);

    // Takes ownership, queues the task and wakes one worker. Any thread, also
    // a running task, may call it; the pool's lock is innermost. Cannot fail
    // for a task with reserved room; for another, growing the heap may throw
    // std::bad_alloc, and the task is then destroyed unrun.
    void addTask(std::unique_ptr<Task> task);

private:
    std::unique_ptr<Task> getTask();  // null when stopping and empty
    void workerMain();
    void stopAndJoin();
    void makeRoom(size_t tasks);  // lock held
    void releaseRoom();

    std::mutex lock;  // guards heap, reserved and stopping; never held while a task runs
    std::condition_variable taskAvailable;
    // Binary max-heap on priority. Its capacity always covers the queued
    // tasks plus the reserved ones, so pushing a reserved task never grows it.
    std::vector<std::unique_ptr<Task>> heap;
    size_t reserved = 0;
    std::vector<std::thread> workers;
    bool stopping = false;
};

// Names the calling thread (up to 15 characters show) so that top, perf and
// debuggers tell the library's threads from the host's. Best effort: a
// platform without thread names ignores it.
void nameCurrentThread(const char* name);

}  // namespace brindle
