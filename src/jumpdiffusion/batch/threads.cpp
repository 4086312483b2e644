#include "threads.h"

#include <algorithm>
#include <atomic>

namespace batch {

namespace {
std::atomic<unsigned> maxThreads{0};
}

void set_max_threads(unsigned threads) { maxThreads.store(threads); }

std::size_t worker_count(std::size_t size, std::size_t grain) {
    // hardware_concurrency reads the system's CPU list (a file read on glibc): once.
    static const unsigned machineCores = std::max(1u, std::thread::hardware_concurrency());
    if (size < 2 * grain) {
        return 1;
    }
    const unsigned limit = maxThreads.load();
    const std::size_t cores = limit > 0 ? limit : machineCores;
    return std::min(cores, std::max<std::size_t>(1, size / grain));
}

}  // namespace batch
