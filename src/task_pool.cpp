#include "task_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <utility>

namespace brindle {

TaskPool::TaskPool(unsigned n) {
    const unsigned count = n > 0 ? n : 1;
    workers.reserve(count);
    try {
        for (unsigned i = 0; i < count; ++i) workers.emplace_back(&TaskPool::workerMain, this);
    } catch (...) {
        stopAndJoin();
        throw;
    }
}

TaskPool::~TaskPool() { stopAndJoin(); }

void TaskPool::stopAndJoin() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        taskAvailable.notify_all();
    }
    for (std::thread& worker : workers) worker.join();
}

bool TaskPool::runsAfter(const Queued& a, const Queued& b) {
    if (a.task->priority != b.task->priority) return a.task->priority < b.task->priority;
    return a.sequence > b.sequence;
}

void TaskPool::addTask(std::unique_ptr<Task> task) {
    std::lock_guard<std::mutex> guard(lock);
    heap.push_back({std::move(task), nextSequence++});
    std::push_heap(heap.begin(), heap.end(), runsAfter);
    taskAvailable.notify_one();
}

std::unique_ptr<TaskPool::Task> TaskPool::getTask() {
    std::unique_lock<std::mutex> guard(lock);
    while (heap.empty()) {
        if (stopping) return nullptr;
        taskAvailable.wait(guard);
    }
    std::pop_heap(heap.begin(), heap.end(), runsAfter);
    std::unique_ptr<Task> next = std::move(heap.back().task);
    heap.pop_back();
    return next;
}

void TaskPool::workerMain() {
    nameCurrentThread("orv-worker");
    while (std::unique_ptr<Task> task = getTask()) task->run();
}

void nameCurrentThread(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

}  // namespace brindle
