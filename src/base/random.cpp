#include "base/random.h"

#include <mutex>
#include <random>

namespace {

std::mutex g_lock;

std::mt19937_64& Generator() {
    static std::mt19937_64 generator{std::random_device{}()};
    return generator;
}

}  // namespace

void SeedRandomFromSystem() {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device()};
    std::lock_guard guard(g_lock);
    Generator().seed(seq);
}

void SeedRandom(quint64 seed) {
    std::lock_guard guard(g_lock);
    Generator().seed(seed);
}

quint32 RandomBelow(quint32 range) {
    if (range == 0) {
        return 0;
    }
    std::lock_guard guard(g_lock);
    return std::uniform_int_distribution<quint32>(0, range - 1)(Generator());
}
