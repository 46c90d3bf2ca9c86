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
    heap.push_back(std::move(task));
    // Sift up; a parent of equal priority stays above.
    size_t child = heap.size() - 1;
    while (child > 0) {
        const size_t parent = (child - 1) / 2;
        if (!(heap[parent]->priority < heap[child]->priority)) break;
        std::swap(heap[parent], heap[child]);
        child = parent;
    }
    taskAvailable.notify_one();
}

std::unique_ptr<TaskPool::Task> TaskPool::getTask() {
    std::unique_lock<std::mutex> guard(lock);
    while (heap.empty()) {
        if (stopping) return nullptr;
        taskAvailable.wait(guard);
    }
    std::unique_ptr<Task> root = std::move(heap.front());
    std::unique_ptr<Task> moving = std::move(heap.back());
    heap.pop_back();
    if (!heap.empty()) {
        // Sift the last element down from the root: take the greater child
        // (the left one on a tie) while it is not less than the moving one.
        const size_t size = heap.size();
        size_t hole = 0;
        for (;;) {
            size_t child = 2 * hole + 1;
            if (child >= size) break;
            if (child + 1 < size && heap[child]->priority < heap[child + 1]->priority) ++child;
            if (heap[child]->priority < moving->priority) break;
            heap[hole] = std::move(heap[child]);
            hole = child;
        }
        heap[hole] = std::move(moving);
    }
    return root;
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
