#include "support/aligned_arena.h"

#include <cstring>

namespace orvo::qel::test_support {

AlignedArena::AlignedArena() : memory_(std::aligned_alloc(64, ARENA_BYTES)) {
    arena_.base = memory_.get();
    arena_.huge = false;
}

void AlignedArena::fill(uint8_t value) {
    std::memset(memory_.get(), value, ARENA_BYTES);
}

void AlignedArena::fill_random(std::mt19937_64& rng) {
    uint64_t* words = static_cast<uint64_t*>(memory_.get());
    for (size_t i = 0; i < ARENA_BYTES / sizeof(uint64_t); ++i) words[i] = rng();
}

}  // namespace orvo::qel::test_support
