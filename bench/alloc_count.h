// Heap allocations made by this process so far, for the benchmarks'
// `allocs_per_round` counters. The bench binary replaces the global
// operator new, so the plug-in's allocations count too (it takes the
// program's operator new like every other shared object).
#pragma once

#include <cstdint>

namespace bench {

uint64_t Allocations();

// Counts the allocations between its construction and Per().
class AllocSpan {
  public:
    AllocSpan() : start_(Allocations()) {}
    // Allocations per unit of `n` (rounds, lines) since construction.
    double Per(double n) const {
        return n > 0 ? static_cast<double>(Allocations() - start_) / n : 0.0;
    }

  private:
    uint64_t start_;
};

}  // namespace bench
