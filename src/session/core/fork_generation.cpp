#include "session/core/fork_generation.hpp"

#include <pthread.h>

#include <atomic>

namespace qv {
namespace {

std::atomic<std::uint64_t> g_generation{0};

void count_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, count_child);

}  // namespace

std::uint64_t fork_generation() noexcept { return g_generation.load(std::memory_order_relaxed); }

}  // namespace qv
