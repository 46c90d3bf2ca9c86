// Items 0 to count - 1 made on worker threads and used on the calling
// thread in order: the way remux reads and packs frames on every core
// while one thread writes them one after another.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace orvtool {

// Runs make(k) for every k on `workers` threads (each with a maker of its
// own from newMaker, so that it can keep buffers) and use(k, item) on the
// calling thread for k = 0, 1, ... in order. At most `window` items are
// made or waiting besides the one in use: that is the memory bound. The first failure in order,
// of a make or a use, is rethrown here once every worker has stopped;
// nothing is used after it.
template <typename Item>
void runInOrder(uint64_t count, unsigned workers, unsigned window,
                const std::function<std::function<Item(uint64_t)>()>& newMaker,
                const std::function<void(uint64_t, Item&&)>& use) {
    struct Slot {
        std::optional<Item> item;
        std::exception_ptr failure;
        bool ready = false;
    };
    window = window ? window : 1;
    std::mutex lock;
    // Guarded by `lock`: the ring of made items (item k in slot k % window),
    // the next item to hand out, the next to use, and whether to stop.
    std::condition_variable madeOne, usedOne;
    std::vector<Slot> slots(window);
    uint64_t nextToMake = 0, nextToUse = 0;
    bool stopping = false;

    const auto work = [&](std::function<Item(uint64_t)> make) {
        for (;;) {
            uint64_t k = 0;
            {
                std::unique_lock guard(lock);
                // Waiting here bounds what is made but not yet used.
                usedOne.wait(guard, [&] {
                    return stopping || nextToMake >= count || nextToMake < nextToUse + window;
                });
                if (stopping || nextToMake >= count)
                    return;
                k = nextToMake++;
            }
            Slot made;
            try {
                made.item.emplace(make(k));
            } catch (...) {
                made.failure = std::current_exception();
            }
            made.ready = true;
            {
                const std::lock_guard guard(lock);
                slots[k % window] = std::move(made);
            }
            madeOne.notify_all();
        }
    };

    std::vector<std::thread> threads;
    // Stops and joins the workers however this function ends.
    struct Joiner {
        std::vector<std::thread>& threads;
        std::mutex& lock;
        bool& stopping;
        std::condition_variable& usedOne;
        ~Joiner() {
            {
                const std::lock_guard guard(lock);
                stopping = true;
            }
            usedOne.notify_all();
            for (std::thread& thread : threads) thread.join();
        }
    } joiner{threads, lock, stopping, usedOne};
    for (unsigned w = 0; w < (workers ? workers : 1); ++w) threads.emplace_back(work, newMaker());

    for (uint64_t k = 0; k < count; ++k) {
        Slot slot;
        {
            std::unique_lock guard(lock);
            madeOne.wait(guard, [&] { return slots[k % window].ready; });
            slot = std::move(slots[k % window]);
            slots[k % window] = Slot{};
            ++nextToUse;
        }
        usedOne.notify_all();
        if (slot.failure)
            std::rethrow_exception(slot.failure);
        use(k, std::move(*slot.item));
    }
}

}  // namespace orvtool
