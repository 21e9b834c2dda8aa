// Known-answer generator for `mintrakel --verify`, computed with libsodium's Argon2id as an
// independent implementation of the coin's hash.
//
//   make_vectors [seed] > tests/data/vectors.txt
//
// Each record is: header hex (224 digits), nonce, hash hex (64 digits), expectation (1 when the
// hash meets the compact target in header bytes 108-111). The output depends only on the seed.
// The records cover hashes that meet and miss their target, unusable compact values, the nonce
// byte order, upper-case hex, over-long tokens, free white-space layout and a last record
// without its expectation.
#include <sodium.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t HEADER_BYTES = 112;
constexpr size_t HASH_BYTES = 32;
constexpr char SALT[] = "Mintrakel/pow/v1";
constexpr uint64_t DEFAULT_SEED = 0x4d696e7472616b65ULL;

struct Rng {
    uint64_t state;
    uint64_t next() {  // splitmix64
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

void hash(const uint8_t header[HEADER_BYTES], uint64_t nonce, uint8_t out[HASH_BYTES]) {
    uint8_t password[HEADER_BYTES + 8];
    std::memcpy(password, header, HEADER_BYTES);
    for (size_t i = 0; i < 8; ++i)
        password[HEADER_BYTES + i] = static_cast<uint8_t>(nonce >> (8 * i));
    if (crypto_pwhash(out, HASH_BYTES, reinterpret_cast<const char*>(password), sizeof password,
                      reinterpret_cast<const unsigned char*>(SALT), 1, 8u << 20,
                      crypto_pwhash_ALG_ARGON2ID13) != 0) {
        std::fprintf(stderr, "crypto_pwhash failed\n");
        std::exit(1);
    }
}

// Compact target to 32 big-endian bytes; false for a set sign bit, a zero mantissa or an
// exponent above 32.
bool expand(uint32_t compact, uint8_t target[32]) {
    std::memset(target, 0, 32);
    uint32_t e = compact >> 24;
    uint32_t m = compact & 0x7fffff;
    if ((compact & 0x800000) || m == 0 || e > 32) return false;
    uint8_t mant[3] = {uint8_t(m >> 16), uint8_t(m >> 8), uint8_t(m)};
    for (int k = 0; k < 3; ++k) {
        int index = 32 - int(e) + k;
        if (index >= 0 && index <= 31) target[index] = mant[k];
    }
    return true;
}

// The hash as a little-endian number against the target as a big-endian one; equal meets.
bool meets(const uint8_t h[HASH_BYTES], uint32_t compact) {
    uint8_t target[32];
    if (!expand(compact, target)) return false;
    for (int i = 0; i < 32; ++i) {
        if (h[31 - i] != target[i]) return h[31 - i] < target[i];
    }
    return true;
}

std::string hex(const uint8_t* p, size_t n, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

enum Want { NATURAL, MEET, MISS };

struct Plan {
    uint32_t compact;
    Want want;          // search nonces until the target test gives this outcome
    bool random_nonce;  // otherwise `nonce` as given
    uint64_t nonce;
    bool upper;               // upper-case hex digits
    const char* header_tail;  // appended to the header token (ignored by readers)
    const char* hash_tail;    // appended to the hash token
    const char* expectation;  // null: derived; "" : omitted (last record only)
    const char* layout;       // separator format between the tokens
};

// Unusable compact values are paired with hashes that would meet the target if the value were
// read naively, so a reader that ignores the rule disagrees with the expectation.
const Plan PLANS[] = {
    {0x207fffff, MEET, true, 0, false, "", "", nullptr, " "},
    {0x207fffff, MISS, true, 0, false, "", "", nullptr, " "},
    {0x1f7fffff, MEET, true, 0, false, "", "", nullptr, " "},  // hash byte 31 must be 0
    {0x1f7fffff, MISS, true, 0, false, "", "", nullptr, " "},
    {0x1d00ffff, MISS, true, 0, false, "", "", nullptr, " "},
    {0x20ffffff, NATURAL, true, 0, false, "", "", nullptr, " "},  // sign bit set
    {0x20800001, NATURAL, true, 0, false, "", "", nullptr, " "},  // sign bit set
    {0x20000000, NATURAL, true, 0, false, "", "", nullptr, " "},  // zero mantissa
    {0x217fffff, NATURAL, true, 0, false, "", "", nullptr, " "},  // exponent 33
    {0xff7fffff, NATURAL, true, 0, false, "", "", nullptr, " "},  // exponent 255
    {0x03123456, NATURAL, true, 0, false, "", "", nullptr, " "},
    {0x01123456, NATURAL, true, 0, false, "", "", nullptr, " "},  // truncated to one byte
    {0x00123456, NATURAL, true, 0, false, "", "", nullptr, " "},  // all-zero target
    {0x207fffff, NATURAL, false, 0, false, "", "", nullptr, " "},
    {0x207fffff, NATURAL, false, 1, false, "", "", nullptr, " "},
    {0x207fffff, NATURAL, false, 0x0102030405060708ULL, false, "", "", nullptr, " "},
    {0x207fffff, NATURAL, false, UINT64_MAX, false, "", "", nullptr, " "},
    {0x207fffff, MEET, true, 0, true, "", "", nullptr, " "},
    {0x207fffff, MISS, true, 0, true, "", "", nullptr, " "},
    {0x207fffff, MEET, true, 0, false, "DEADbeef0x+-zz", "00FFgg", nullptr, " "},
    {0x03123456, MISS, true, 0, false, "", "", "2", " "},
    {0x03123456, MISS, true, 0, false, "", "", "-1", "\t\n  "},
    {0x20ffffff, NATURAL, true, 0, false, "", "", "", "\n"},
};

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) {
        std::fprintf(stderr, "libsodium cannot be initialised\n");
        return 1;
    }
    Rng rng{argc > 1 ? std::strtoull(argv[1], nullptr, 0) : DEFAULT_SEED};

    for (const Plan& plan : PLANS) {
        uint8_t header[HEADER_BYTES];
        for (size_t i = 0; i < 108; ++i) header[i] = static_cast<uint8_t>(rng.next());
        for (int i = 0; i < 4; ++i) header[108 + i] = static_cast<uint8_t>(plan.compact >> (8 * i));

        uint64_t nonce = plan.random_nonce ? rng.next() : plan.nonce;
        uint8_t out[HASH_BYTES];
        for (int tries = 0;; ++tries, ++nonce) {
            hash(header, nonce, out);
            bool met = meets(out, plan.compact);
            if (plan.want == NATURAL || (plan.want == MEET) == met) break;
            if (tries > 100000) {
                std::fprintf(stderr, "no nonce found for compact %08x\n", plan.compact);
                return 1;
            }
        }

        std::string expectation =
            plan.expectation ? plan.expectation : (meets(out, plan.compact) ? "1" : "0");
        const char* sep = plan.layout;
        std::printf("%s%s%s%" PRIu64 "%s%s%s", hex(header, HEADER_BYTES, plan.upper).c_str(),
                    plan.header_tail, sep, nonce, sep, hex(out, HASH_BYTES, plan.upper).c_str(),
                    plan.hash_tail);
        if (!expectation.empty()) std::printf("%s%s", sep, expectation.c_str());
        std::printf("\n");
    }
    return 0;
}
