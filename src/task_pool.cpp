#include "task_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cassert>
#include <utility>

namespace brindle {

TaskPool::Task::~Task() {
    if (reservedIn != nullptr) reservedIn->releaseRoom();
}

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

TaskPool::~TaskPool() {
    stopAndJoin();
    // Every reserved task was queued and run, or destroyed, with the work
    // that built it.
    assert(reserved == 0);
}

void TaskPool::stopAndJoin() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        taskAvailable.notify_all();
    }
    for (std::thread& worker : workers) worker.join();
}

void TaskPool::makeRoom(size_t tasks) {
    const size_t needed = heap.size() + reserved + tasks;
    if (needed > heap.capacity()) heap.reserve(std::max(needed, 2 * heap.capacity()));
}

void TaskPool::reserve(Task& task) {
    assert(task.reservedIn == nullptr);
    std::lock_guard<std::mutex> guard(lock);
    makeRoom(1);
    ++reserved;
    task.reservedIn = this;
}

void TaskPool::releaseRoom() {
    std::lock_guard<std::mutex> guard(lock);
    --reserved;
}

bool TaskPool::runsAfter(const Queued& a, const Queued& b) {
    if (a.task->priority != b.task->priority) return a.task->priority < b.task->priority;
    return a.sequence > b.sequence;
}

void TaskPool::addTask(std::unique_ptr<Task> task) {
    std::lock_guard<std::mutex> guard(lock);
    assert(task->reservedIn == nullptr || task->reservedIn == this);
    if (task->reservedIn == this) {
        // The task's room becomes its place in the heap.
        task->reservedIn = nullptr;
        --reserved;
    } else {
        makeRoom(1);
    }
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
