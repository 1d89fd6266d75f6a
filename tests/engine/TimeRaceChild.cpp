// Sixteen threads of a fresh process take the time at the same moment, as the runs of a gang do
// at their first event. Exits 1 when any of them got an empty text.
#include "engine/Events.h"

#include <atomic>
#include <thread>
#include <vector>

int main() {
    std::atomic<bool> go{false};
    std::atomic<int> empty{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) {
            }
            if (qv::engine::utcNow().isEmpty())
                ++empty;
        });
    }
    go = true;
    for (std::thread& t : threads)
        t.join();
    return empty.load() == 0 ? 0 : 1;
}
