// The worker threads of the element loops: how many a loop of a given size uses, and the
// loop itself over contiguous chunks of positions.
#pragma once

#include <cstddef>
#include <thread>
#include <vector>

namespace batch {

// The most threads a loop may use: all cores when 0 (the default); the benchmark sets 1.
void set_max_threads(unsigned threads);

// The number of workers a loop over `size` elements uses: one below twice `grain`
// (starting threads costs more), else at most one per `grain` elements and per core. The
// element loops use kElementsPerThread; a fit's Jacobian, whose elements cost a
// microsecond each and which is evaluated many times over, a smaller grain. Read it once per call and pass it on: what a call allocates per worker and
// the threads it starts must be the same number even if set_max_threads runs meanwhile.
constexpr std::size_t kElementsPerThread = 4096;
std::size_t worker_count(std::size_t size, std::size_t grain = kElementsPerThread);

// body(begin, end, worker) over [0, size) in `workers` contiguous chunks, the first on
// the calling thread. body must not throw: everything it needs is allocated before.
template <typename Body>
void parallel_for(std::size_t workers, std::size_t size, const Body &body) {
    if (workers <= 1) {
        body(std::size_t{0}, size, std::size_t{0});
        return;
    }
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    const std::size_t chunk = (size + workers - 1) / workers;
    for (std::size_t w = 1; w < workers; ++w) {
        const std::size_t begin = w * chunk < size ? w * chunk : size;
        const std::size_t end = begin + chunk < size ? begin + chunk : size;
        threads.emplace_back([&body, begin, end, w] { body(begin, end, w); });
    }
    body(std::size_t{0}, chunk < size ? chunk : size, std::size_t{0});
    for (std::thread &t : threads) {
        t.join();
    }
}

}  // namespace batch
