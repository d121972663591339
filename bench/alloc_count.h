// Heap allocations made by this process so far, for the benchmarks'
// `allocs_per_round` counters. The bench binary replaces the global
// operator new, so the plug-in's allocations count too (it takes the
// program's operator new like every other shared object).
#pragma once

#include <cstdint>

namespace bench {

uint64_t Allocations();
// Those made by the calling thread alone: what a loop thread allocates while
// other threads of the benchmark (scrapers, a broker client) allocate too.
uint64_t ThreadAllocations();

// Counts the allocations between its construction and Per().
class AllocSpan {
  public:
    enum class Scope { kProcess, kThisThread };
    explicit AllocSpan(Scope scope = Scope::kProcess) : scope_(scope), start_(Now()) {}
    // Allocations per unit of `n` (rounds, lines) since construction.
    double Per(double n) const { return n > 0 ? static_cast<double>(Count()) / n : 0.0; }
    // Allocations since construction.
    uint64_t Count() const { return Now() - start_; }

  private:
    uint64_t Now() const {
        return scope_ == Scope::kThisThread ? ThreadAllocations() : Allocations();
    }
    Scope scope_;
    uint64_t start_;
};

}  // namespace bench
