// An 8 MiB arena on the heap for tests that hash without the miner's page mappings.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>

#include "pow/pow_hash.h"

namespace orvo::qel::test_support {

// ARENA_BYTES aligned to a cache line, as the engines require; freed with the object.
class AlignedArena {
  public:
    AlignedArena();
    const Arena& arena() const { return arena_; }
    // Leftovers of an earlier hash: a hash must never depend on what the arena held before.
    void fill(uint8_t value);
    void fill_random(std::mt19937_64& rng);

  private:
    struct Free {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<void, Free> memory_;
    Arena arena_;
};

}  // namespace orvo::qel::test_support
