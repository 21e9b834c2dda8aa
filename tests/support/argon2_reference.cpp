#include "support/argon2_reference.h"

#include <array>
#include <cstring>

#include "pow/blake2b.h"
#include "pow/pow_hash.h"

namespace orvo::qel::test_support {
namespace {

using Words = std::array<uint64_t, 128>;

constexpr uint32_t SYNC_POINTS = 4;
constexpr uint32_t VERSION = 0x13;
constexpr uint32_t TYPE_ID = 2;

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_bytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    put32(out, static_cast<uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

uint64_t rotr(uint64_t x, unsigned n) {
    return (x >> n) | (x << (64 - n));
}

uint64_t blamka(uint64_t x, uint64_t y) {
    return x + y + 2 * (x & 0xffffffffULL) * (y & 0xffffffffULL);
}

void gb(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d) {
    a = blamka(a, b);
    d = rotr(d ^ a, 32);
    c = blamka(c, d);
    b = rotr(b ^ c, 24);
    a = blamka(a, b);
    d = rotr(d ^ a, 16);
    c = blamka(c, d);
    b = rotr(b ^ c, 63);
}

// The permutation P on 16 words given by their positions in the block.
void permute(Words& w, const size_t (&idx)[16]) {
    uint64_t v[16];
    for (int i = 0; i < 16; ++i) v[i] = w[idx[i]];
    gb(v[0], v[4], v[8], v[12]);
    gb(v[1], v[5], v[9], v[13]);
    gb(v[2], v[6], v[10], v[14]);
    gb(v[3], v[7], v[11], v[15]);
    gb(v[0], v[5], v[10], v[15]);
    gb(v[1], v[6], v[11], v[12]);
    gb(v[2], v[7], v[8], v[13]);
    gb(v[3], v[4], v[9], v[14]);
    for (int i = 0; i < 16; ++i) w[idx[i]] = v[i];
}

// G(x, y) = P(x ^ y) ^ x ^ y, with P over the eight rows, then the eight columns, of the block
// seen as an 8 x 8 matrix of 16-byte registers.
Words compress(const Words& x, const Words& y) {
    Words r;
    for (size_t i = 0; i < 128; ++i) r[i] = x[i] ^ y[i];
    Words q = r;
    for (size_t row = 0; row < 8; ++row) {
        size_t idx[16];
        for (size_t k = 0; k < 16; ++k) idx[k] = 16 * row + k;
        permute(q, idx);
    }
    for (size_t col = 0; col < 8; ++col) {
        size_t idx[16];
        for (size_t k = 0; k < 8; ++k) {
            idx[2 * k] = 16 * k + 2 * col;
            idx[2 * k + 1] = 16 * k + 2 * col + 1;
        }
        permute(q, idx);
    }
    for (size_t i = 0; i < 128; ++i) q[i] ^= r[i];
    return q;
}

Words words_from_bytes(const uint8_t* bytes) {
    Words w;
    for (size_t i = 0; i < 128; ++i) {
        uint64_t v = 0;
        for (size_t b = 8; b-- > 0;) v = (v << 8) | bytes[8 * i + b];
        w[i] = v;
    }
    return w;
}

std::vector<uint8_t> bytes_from_words(const Words& w) {
    std::vector<uint8_t> out(1024);
    for (size_t i = 0; i < 128; ++i)
        for (size_t b = 0; b < 8; ++b) out[8 * i + b] = static_cast<uint8_t>(w[i] >> (8 * b));
    return out;
}

struct Instance {
    uint32_t lanes;
    uint32_t passes;
    uint32_t memory_kib;
    uint32_t lane_length;
    uint32_t segment_length;
    std::vector<Words> memory;  // lane l, column c at l * lane_length + c
};

// Reference block of (pass, lane, slice, index) from a pseudo-random word; returns its lane and
// column.
void reference_position(const Instance& in, uint32_t pass, uint32_t lane, uint32_t slice,
                        uint32_t index, uint64_t pseudo_rand, uint32_t& ref_lane,
                        uint32_t& ref_col) {
    ref_lane = static_cast<uint32_t>((pseudo_rand >> 32) % in.lanes);
    if (pass == 0 && slice == 0) ref_lane = lane;
    const bool same_lane = ref_lane == lane;
    uint64_t area;
    if (pass == 0) {
        if (slice == 0) {
            area = index - 1;
        } else if (same_lane) {
            area = static_cast<uint64_t>(slice) * in.segment_length + index - 1;
        } else {
            area = static_cast<uint64_t>(slice) * in.segment_length - (index == 0 ? 1 : 0);
        }
    } else if (same_lane) {
        area = in.lane_length - in.segment_length + index - 1;
    } else {
        area = in.lane_length - in.segment_length - (index == 0 ? 1 : 0);
    }
    uint64_t x = pseudo_rand & 0xffffffffULL;
    x = (x * x) >> 32;
    const uint64_t relative = area - 1 - ((area * x) >> 32);
    uint64_t start = 0;
    if (pass != 0 && slice != SYNC_POINTS - 1) start = (slice + 1) * in.segment_length;
    ref_col = static_cast<uint32_t>((start + relative) % in.lane_length);
}

// Fills one segment; `references` (may be null) receives the reference column of each block.
void fill_segment(Instance& in, uint32_t pass, uint32_t lane, uint32_t slice,
                  std::vector<uint32_t>* references) {
    const bool independent = pass == 0 && slice < SYNC_POINTS / 2;
    Words zero{};
    Words input{};
    Words address{};
    if (independent) {
        input[0] = pass;
        input[1] = lane;
        input[2] = slice;
        input[3] = in.lanes * in.lane_length;
        input[4] = in.passes;
        input[5] = TYPE_ID;
    }
    auto next_addresses = [&] {
        input[6] += 1;
        address = compress(zero, compress(zero, input));
    };
    uint32_t start = 0;
    if (pass == 0 && slice == 0) {
        start = 2;
        if (independent) next_addresses();
    }
    for (uint32_t i = start; i < in.segment_length; ++i) {
        const uint32_t col = slice * in.segment_length + i;
        const uint32_t prev_col = col == 0 ? in.lane_length - 1 : col - 1;
        const size_t base = static_cast<size_t>(lane) * in.lane_length;
        uint64_t pseudo_rand;
        if (independent) {
            if (i % 128 == 0) next_addresses();
            pseudo_rand = address[i % 128];
        } else {
            pseudo_rand = in.memory[base + prev_col][0];
        }
        uint32_t ref_lane, ref_col;
        reference_position(in, pass, lane, slice, i, pseudo_rand, ref_lane, ref_col);
        if (references != nullptr) (*references)[col] = ref_col;
        const Words next =
            compress(in.memory[base + prev_col],
                     in.memory[static_cast<size_t>(ref_lane) * in.lane_length + ref_col]);
        Words& cur = in.memory[base + col];
        if (pass == 0) {
            cur = next;
        } else {
            for (size_t w = 0; w < 128; ++w) cur[w] ^= next[w];
        }
    }
}

std::vector<uint8_t> run(const Argon2Params& p, std::vector<uint32_t>* references) {
    Instance in;
    in.lanes = p.lanes;
    in.passes = p.passes;
    in.memory_kib = p.memory_kib;
    uint32_t blocks = p.memory_kib;
    if (blocks < 2 * SYNC_POINTS * p.lanes) blocks = 2 * SYNC_POINTS * p.lanes;
    blocks -= blocks % (SYNC_POINTS * p.lanes);
    in.lane_length = blocks / p.lanes;
    in.segment_length = in.lane_length / SYNC_POINTS;
    in.memory.assign(blocks, Words{});

    std::vector<uint8_t> pre;
    put32(pre, p.lanes);
    put32(pre, p.tag_bytes);
    put32(pre, p.memory_kib);
    put32(pre, p.passes);
    put32(pre, VERSION);
    put32(pre, TYPE_ID);
    put_bytes(pre, p.password);
    put_bytes(pre, p.salt);
    put_bytes(pre, p.secret);
    put_bytes(pre, p.associated_data);
    uint8_t h0[64];
    blake2b(h0, 64, pre.data(), pre.size());

    for (uint32_t lane = 0; lane < p.lanes; ++lane) {
        for (uint32_t col = 0; col < 2; ++col) {
            std::vector<uint8_t> seed(h0, h0 + 64);
            put32(seed, col);
            put32(seed, lane);
            const std::vector<uint8_t> block = argon2_hprime(1024, seed.data(), seed.size());
            in.memory[static_cast<size_t>(lane) * in.lane_length + col] =
                words_from_bytes(block.data());
        }
    }
    // Within a slice every lane reads only slices that are already complete in other lanes, so
    // processing the lanes one after another equals running them in parallel.
    for (uint32_t pass = 0; pass < p.passes; ++pass)
        for (uint32_t slice = 0; slice < SYNC_POINTS; ++slice)
            for (uint32_t lane = 0; lane < p.lanes; ++lane)
                fill_segment(in, pass, lane, slice, pass == 0 && lane == 0 ? references : nullptr);

    Words last = in.memory[in.lane_length - 1];
    for (uint32_t lane = 1; lane < p.lanes; ++lane) {
        const Words& other =
            in.memory[static_cast<size_t>(lane) * in.lane_length + in.lane_length - 1];
        for (size_t w = 0; w < 128; ++w) last[w] ^= other[w];
    }
    const std::vector<uint8_t> bytes = bytes_from_words(last);
    return argon2_hprime(p.tag_bytes, bytes.data(), bytes.size());
}

Argon2Params coin_params(const uint8_t* header, uint64_t nonce) {
    Argon2Params p;
    p.password.assign(header, header + HEADER_BYTES);
    for (int i = 0; i < 8; ++i) p.password.push_back(static_cast<uint8_t>(nonce >> (8 * i)));
    p.salt.assign(POW_SALT, POW_SALT + sizeof POW_SALT - 1);
    return p;
}

}  // namespace

std::vector<uint8_t> argon2_hprime(uint32_t out_bytes, const uint8_t* in, size_t in_len) {
    std::vector<uint8_t> out(out_bytes);
    uint8_t len_prefix[4];
    for (int i = 0; i < 4; ++i) len_prefix[i] = static_cast<uint8_t>(out_bytes >> (8 * i));
    auto first = [&](uint8_t* dst, size_t n) {
        Blake2bState state;
        blake2b_init(state, n);
        blake2b_update(state, len_prefix, 4);
        blake2b_update(state, in, in_len);
        blake2b_final(state, dst);
    };
    if (out_bytes <= 64) {
        first(out.data(), out_bytes);
        return out;
    }
    const uint32_t r = (out_bytes + 31) / 32 - 2;
    uint8_t v[64];
    first(v, 64);
    std::memcpy(out.data(), v, 32);
    for (uint32_t i = 2; i <= r; ++i) {
        uint8_t next[64];
        blake2b(next, 64, v, 64);
        std::memcpy(v, next, 64);
        std::memcpy(out.data() + 32 * (i - 1), v, 32);
    }
    blake2b(out.data() + 32 * r, out_bytes - 32 * r, v, 64);
    return out;
}

void argon2_compress(const uint64_t* x, const uint64_t* y, uint64_t* out) {
    Words a, b;
    std::memcpy(a.data(), x, sizeof a);
    std::memcpy(b.data(), y, sizeof b);
    const Words g = compress(a, b);
    std::memcpy(out, g.data(), sizeof g);
}

std::vector<uint8_t> argon2id(const Argon2Params& params) {
    return run(params, nullptr);
}

void coin_hash_reference(const uint8_t* header, uint64_t nonce, uint8_t out[32]) {
    const std::vector<uint8_t> tag = run(coin_params(header, nonce), nullptr);
    std::memcpy(out, tag.data(), 32);
}

std::vector<uint32_t> coin_reference_indices() {
    // The data-independent indices do not depend on the password; any header will do.
    const uint8_t header[HEADER_BYTES] = {};
    std::vector<uint32_t> refs(ARENA_BLOCKS, 0);
    run(coin_params(header, 0), &refs);
    refs.resize(DATA_INDEPENDENT_BLOCKS);
    return refs;
}

}  // namespace orvo::qel::test_support
