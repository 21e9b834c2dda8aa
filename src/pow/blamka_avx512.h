// The Argon2 permutation P on 512-bit registers, and the row order of the AVX-512 engines.
//
// Include only from *_avx512.cpp files. Everything here is a macro or has internal linkage
// (pow/isa_common.h).
//
// Row order: a block is 16 registers ("rows") of eight 64-bit words. Row k, with a = k / 4 and
// b = k % 4, holds words 32a + 4b .. 32a + 4b + 3 in its lower 256 bits and words
// 32a + 16 + 4b .. 32a + 16 + 4b + 3 in its upper 256 bits: quarter b of Argon2 rows 2a and
// 2a + 1. Word 0 stays in bits 0..63 of row 0.
//
// Each 256-bit half of a register is one 4-word row of a 16-word BLAKE2b state, so one round
// on four registers (Sa, Sb, Sc, Sd) runs two independent states at once. In row order, rows
// 4a..4a+3 are the states of Argon2 rows 2a (lower halves) and 2a + 1 (upper halves). After the
// word permutation Q = (0, 1, 4, 5, 2, 3, 6, 7), which exchanges the middle two 128-bit lanes,
// register 4a + b holds state row a of Argon2 columns 2b (lower) and 2b + 1 (upper), so the
// column pass runs on registers b, 4 + b, 8 + b, 12 + b. Q is its own inverse; applying it once
// more returns to row order.
#pragma once

#include "pow/avx512_intrinsics.h"

#include <cstdint>

#include "pow/isa_common.h"

namespace orvo::qel {

// x + y + 2 * lo32(x) * lo32(y) on each 64-bit lane, modulo 2^64.
QEL_ISA_INLINE __m512i blamka_avx512(__m512i x, __m512i y) {
    const __m512i m = _mm512_mul_epu32(x, y);
    return _mm512_add_epi64(_mm512_add_epi64(x, y), _mm512_add_epi64(m, m));
}

// Q applied to a register whose halves are not rotated.
QEL_ISA_INLINE __m512i q_avx512(__m512i x) {
    return _mm512_shuffle_i64x2(x, x, _MM_SHUFFLE(3, 1, 2, 0));
}

// Undo the diagonal rotation of Sb (left by one within each half), then Q, in one permute.
QEL_ISA_INLINE __m512i undiag_b_q_avx512(__m512i x) {
    return _mm512_permutexvar_epi64(_mm512_set_epi64(6, 5, 2, 1, 4, 7, 0, 3), x);
}

// Undo the rotation of Sc (by two within each half), then Q: a pure 128-bit lane shuffle.
QEL_ISA_INLINE __m512i undiag_c_q_avx512(__m512i x) {
    return _mm512_shuffle_i64x2(x, x, _MM_SHUFFLE(2, 0, 3, 1));
}

// Undo the rotation of Sd (left by three within each half), then Q, in one permute.
QEL_ISA_INLINE __m512i undiag_d_q_avx512(__m512i x) {
    return _mm512_permutexvar_epi64(_mm512_set_epi64(4, 7, 0, 3, 6, 5, 2, 1), x);
}

// The same for a single group, where the caller needs one group's result before the others.
#define QEL_BLAMKA_HALF1(R1, R2, A, B, C, D)              \
    do {                                                  \
        A = blamka_avx512(A, B);                          \
        D = _mm512_ror_epi64(_mm512_xor_si512(D, A), R1); \
        C = blamka_avx512(C, D);                          \
        B = _mm512_ror_epi64(_mm512_xor_si512(B, C), R2); \
    } while (0)

// The last half of G split in two: the A steps alone, then the D, C and B steps. In the row
// round's last half the A steps finish the Sa registers, which are all that column group 0
// needs; issuing that group before the rest keeps the other work off its path.
#define QEL_BLAMKA_HALF4_A(A0, B0, A1, B1, A2, B2, A3, B3) \
    do {                                                   \
        A0 = blamka_avx512(A0, B0);                        \
        A1 = blamka_avx512(A1, B1);                        \
        A2 = blamka_avx512(A2, B2);                        \
        A3 = blamka_avx512(A3, B3);                        \
    } while (0)

#define QEL_BLAMKA_HALF4_DCB(R1, R2, A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, \
                             D3)                                                                 \
    do {                                                                                         \
        D0 = _mm512_ror_epi64(_mm512_xor_si512(D0, A0), R1);                                     \
        D1 = _mm512_ror_epi64(_mm512_xor_si512(D1, A1), R1);                                     \
        D2 = _mm512_ror_epi64(_mm512_xor_si512(D2, A2), R1);                                     \
        D3 = _mm512_ror_epi64(_mm512_xor_si512(D3, A3), R1);                                     \
        C0 = blamka_avx512(C0, D0);                                                              \
        C1 = blamka_avx512(C1, D1);                                                              \
        C2 = blamka_avx512(C2, D2);                                                              \
        C3 = blamka_avx512(C3, D3);                                                              \
        B0 = _mm512_ror_epi64(_mm512_xor_si512(B0, C0), R2);                                     \
        B1 = _mm512_ror_epi64(_mm512_xor_si512(B1, C1), R2);                                     \
        B2 = _mm512_ror_epi64(_mm512_xor_si512(B2, C2), R2);                                     \
        B3 = _mm512_ror_epi64(_mm512_xor_si512(B3, C3), R2);                                     \
    } while (0)

// One half of G (the first two or the last two of its four steps) on four register groups at
// once; the four groups are independent, so interleaving them hides the multiply latency.
#define QEL_BLAMKA_HALF4(R1, R2, A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3) \
    do {                                                                                         \
        QEL_BLAMKA_HALF4_A(A0, B0, A1, B1, A2, B2, A3, B3);                                      \
        QEL_BLAMKA_HALF4_DCB(R1, R2, A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, \
                             D3);                                                                \
    } while (0)

#define QEL_BLAMKA_G4(A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3)             \
    do {                                                                                          \
        QEL_BLAMKA_HALF4(32, 24, A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3); \
        QEL_BLAMKA_HALF4(16, 63, A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3); \
    } while (0)

// Rotates Sb, Sc, Sd left by one, two, three words within each 256-bit half, so that the
// diagonals of each 4 x 4 state line up in the lanes.
#define QEL_DIAGONALIZE(B, C, D)                               \
    do {                                                       \
        B = _mm512_permutex_epi64(B, _MM_SHUFFLE(0, 3, 2, 1)); \
        C = _mm512_permutex_epi64(C, _MM_SHUFFLE(1, 0, 3, 2)); \
        D = _mm512_permutex_epi64(D, _MM_SHUFFLE(2, 1, 0, 3)); \
    } while (0)

// One BLAKE2b round with BlaMka on four groups, leaving Sb, Sc, Sd diagonalised; the caller
// undoes the rotation together with Q (QEL_UNDIAG_Q).
#define QEL_ROUND4_DIAG(A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3) \
    do {                                                                                \
        QEL_BLAMKA_G4(A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3);  \
        QEL_DIAGONALIZE(B0, C0, D0);                                                    \
        QEL_DIAGONALIZE(B1, C1, D1);                                                    \
        QEL_DIAGONALIZE(B2, C2, D2);                                                    \
        QEL_DIAGONALIZE(B3, C3, D3);                                                    \
        QEL_BLAMKA_G4(A0, B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3);  \
    } while (0)

#define QEL_ROUND1_DIAG(A, B, C, D)           \
    do {                                      \
        QEL_BLAMKA_HALF1(32, 24, A, B, C, D); \
        QEL_BLAMKA_HALF1(16, 63, A, B, C, D); \
        QEL_DIAGONALIZE(B, C, D);             \
        QEL_BLAMKA_HALF1(32, 24, A, B, C, D); \
        QEL_BLAMKA_HALF1(16, 63, A, B, C, D); \
    } while (0)

// Undiagonalise one group and apply Q to all four of its registers.
#define QEL_UNDIAG_Q(A, B, C, D)  \
    do {                          \
        A = q_avx512(A);          \
        B = undiag_b_q_avx512(B); \
        C = undiag_c_q_avx512(C); \
        D = undiag_d_q_avx512(D); \
    } while (0)

// Undiagonalise Sb, Sc, Sd of one group and apply Q to them; Sa is left to the caller.
#define QEL_UNDIAG_Q_BCD(B, C, D) \
    do {                          \
        B = undiag_b_q_avx512(B); \
        C = undiag_c_q_avx512(C); \
        D = undiag_d_q_avx512(D); \
    } while (0)

// The row pass of P on a block in row order held in X0..X15, ending with Q: on return the
// registers are in column layout.
#define QEL_ROW_PASS(X0, X1, X2, X3, X4, X5, X6, X7, X8, X9, X10, X11, X12, X13, X14, X15)     \
    do {                                                                                       \
        QEL_ROUND4_DIAG(X0, X1, X2, X3, X4, X5, X6, X7, X8, X9, X10, X11, X12, X13, X14, X15); \
        QEL_UNDIAG_Q(X0, X1, X2, X3);                                                          \
        QEL_UNDIAG_Q(X4, X5, X6, X7);                                                          \
        QEL_UNDIAG_Q(X8, X9, X10, X11);                                                        \
        QEL_UNDIAG_Q(X12, X13, X14, X15);                                                      \
    } while (0)

// The column round of P on the column layout; X4..X15 still carry the diagonal rotation
// afterwards, so QEL_COLUMN_FINISH follows. Group b = (Xb, X4+b, X8+b, X12+b) is Argon2 columns
// 2b and 2b + 1; X0 is never rotated, so its lowest word is then word 0 of P's output.
#define QEL_COLUMN_ROUND(X0, X1, X2, X3, X4, X5, X6, X7, X8, X9, X10, X11, X12, X13, X14, X15) \
    QEL_ROUND4_DIAG(X0, X4, X8, X12, X1, X5, X9, X13, X2, X6, X10, X14, X3, X7, X11, X15)

// Undiagonalises the column round and applies Q: back to row order.
#define QEL_COLUMN_FINISH(X0, X1, X2, X3, X4, X5, X6, X7, X8, X9, X10, X11, X12, X13, X14, X15) \
    do {                                                                                        \
        QEL_UNDIAG_Q(X0, X4, X8, X12);                                                          \
        QEL_UNDIAG_Q(X1, X5, X9, X13);                                                          \
        QEL_UNDIAG_Q(X2, X6, X10, X14);                                                         \
        QEL_UNDIAG_Q(X3, X7, X11, X15);                                                         \
    } while (0)

// Row k of a block given in standard word order.
QEL_ISA_INLINE __m512i load_row_from_standard_avx512(const uint64_t* words, int k) {
    const int w = 32 * (k >> 2) + 4 * (k & 3);
    const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(words + w));
    const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(words + w + 16));
    return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// Writes row k into a block in standard word order.
QEL_ISA_INLINE void store_row_to_standard_avx512(uint64_t* words, int k, __m512i row) {
    const int w = 32 * (k >> 2) + 4 * (k & 3);
    _mm256_store_si256(reinterpret_cast<__m256i*>(words + w), _mm512_castsi512_si256(row));
    _mm256_store_si256(reinterpret_cast<__m256i*>(words + w + 16),
                       _mm512_extracti64x4_epi64(row, 1));
}

// Applies a statement macro M(k) for k = 0..15; M refers to registers by token pasting.
#define QEL_FOR_ROWS(M) \
    M(0);               \
    M(1);               \
    M(2);               \
    M(3);               \
    M(4);               \
    M(5);               \
    M(6);               \
    M(7);               \
    M(8);               \
    M(9);               \
    M(10);              \
    M(11);              \
    M(12);              \
    M(13);              \
    M(14);              \
    M(15)

// Statement macros over a block held in registers named x0..x15 (declared with QEL_FOR_ROWS(
// QEL_DECLARE_ROW)), with R kept in an aligned `__m512i r[16]`. The load and store macros read
// `src_words` and write `dst_words`, blocks in standard word order.
#define QEL_DECLARE_ROW(k) __m512i x##k
#define QEL_LOAD_STANDARD(k) x##k = load_row_from_standard_avx512(src_words, k)
#define QEL_STORE_STANDARD(k) store_row_to_standard_avx512(dst_words, k, x##k)
#define QEL_KEEP_R(k) _mm512_store_si512(r + k, x##k)
#define QEL_XOR_R(k) x##k = _mm512_xor_si512(x##k, _mm512_load_si512(r + k))

#define QEL_P_ROW_PASS() \
    QEL_ROW_PASS(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15)
#define QEL_P_COLUMN_ROUND() \
    QEL_COLUMN_ROUND(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15)
#define QEL_P_COLUMN_FINISH() \
    QEL_COLUMN_FINISH(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15)
// P on x0..x15, row order in and out.
#define QEL_P()           \
    QEL_P_ROW_PASS();     \
    QEL_P_COLUMN_ROUND(); \
    QEL_P_COLUMN_FINISH()

}  // namespace orvo::qel
