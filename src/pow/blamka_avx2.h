// Argon2's permutation P (the BLAKE2b round with the BlaMka multiplication) on 256-bit vectors.
// Include only from *_avx2.cpp files: everything here has internal linkage (pow/isa_common.h).
//
// A block is viewed as 32 vectors of 4 words: vector 4r + q holds words 4q..4q+3 of Argon2 row
// r (words 16r..16r+15). The row pass runs P on each row, the column pass on each column pair.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "pow/isa_common.h"

namespace orvo::qel {
namespace {

QEL_ISA_FORCE_INLINE __m256i rotr32(__m256i x) {
    return _mm256_shuffle_epi32(x, 0xb1);
}

QEL_ISA_FORCE_INLINE __m256i rotr24(__m256i x) {
    const __m256i rot24 = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3,
                                           4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10);
    return _mm256_shuffle_epi8(x, rot24);
}

QEL_ISA_FORCE_INLINE __m256i rotr16(__m256i x) {
    const __m256i rot16 = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2,
                                           3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9);
    return _mm256_shuffle_epi8(x, rot16);
}

QEL_ISA_FORCE_INLINE __m256i rotr63(__m256i x) {
    return _mm256_xor_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x));
}

// x + y + 2 * lo32(x) * lo32(y); the sum x + y does not wait for the multiply.
QEL_ISA_FORCE_INLINE __m256i blamka(__m256i x, __m256i y) {
    const __m256i product = _mm256_mul_epu32(x, y);
    return _mm256_add_epi64(_mm256_add_epi64(x, y), _mm256_add_epi64(product, product));
}

// The first and second halves of the mixing function G, lane-wise.
QEL_ISA_FORCE_INLINE void g_half1(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    a = blamka(a, b);
    d = rotr32(_mm256_xor_si256(d, a));
    c = blamka(c, d);
    b = rotr24(_mm256_xor_si256(b, c));
}

QEL_ISA_FORCE_INLINE void g_half2(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    a = blamka(a, b);
    d = rotr16(_mm256_xor_si256(d, a));
    c = blamka(c, d);
    b = rotr63(_mm256_xor_si256(b, c));
}

// Two independent 16-word states, each held as four 4-word rows (a, b, c, d).
QEL_ISA_FORCE_INLINE void g_pair(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0, __m256i& a1,
                                 __m256i& b1, __m256i& c1, __m256i& d1) {
    g_half1(a0, b0, c0, d0);
    g_half1(a1, b1, c1, d1);
    g_half2(a0, b0, c0, d0);
    g_half2(a1, b1, c1, d1);
}

// Row states: the diagonal step needs a[i - 1], b[i], c[i + 1], d[i + 2] side by side.
// Rotating a, c and d (rather than b, c and d) keeps the lane-crossing permutes off the critical
// path: b is the last result of each G, the other three are ready earlier.
QEL_ISA_FORCE_INLINE void rows_diagonalize(__m256i& a, __m256i& c, __m256i& d) {
    a = _mm256_permute4x64_epi64(a, 0x93);  // word i <- word i - 1
    c = _mm256_permute4x64_epi64(c, 0x39);  // word i <- word i + 1
    d = _mm256_permute4x64_epi64(d, 0x4e);  // word i <- word i + 2
}

QEL_ISA_FORCE_INLINE void rows_undiagonalize(__m256i& a, __m256i& c, __m256i& d) {
    a = _mm256_permute4x64_epi64(a, 0x39);
    c = _mm256_permute4x64_epi64(c, 0x93);
    d = _mm256_permute4x64_epi64(d, 0x4e);
}

// P on two Argon2 rows at once: the state of each row is its four vectors in order.
QEL_ISA_FORCE_INLINE void round_rows(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0,
                                     __m256i& a1, __m256i& b1, __m256i& c1, __m256i& d1) {
    g_pair(a0, b0, c0, d0, a1, b1, c1, d1);
    rows_diagonalize(a0, c0, d0);
    rows_diagonalize(a1, c1, d1);
    g_pair(a0, b0, c0, d0, a1, b1, c1, d1);
    rows_undiagonalize(a0, c0, d0);
    rows_undiagonalize(a1, c1, d1);
}

// P on four Argon2 rows at once. One G chain is long (two dependent multiplies per half); four
// interleaved states give the scheduler enough independent work to keep every vector port busy,
// at the price of a few register spills.
QEL_ISA_FORCE_INLINE void round_rows_x2(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0,
                                        __m256i& a1, __m256i& b1, __m256i& c1, __m256i& d1,
                                        __m256i& a2, __m256i& b2, __m256i& c2, __m256i& d2,
                                        __m256i& a3, __m256i& b3, __m256i& c3, __m256i& d3) {
    g_half1(a0, b0, c0, d0);
    g_half1(a1, b1, c1, d1);
    g_half1(a2, b2, c2, d2);
    g_half1(a3, b3, c3, d3);
    g_half2(a0, b0, c0, d0);
    g_half2(a1, b1, c1, d1);
    g_half2(a2, b2, c2, d2);
    g_half2(a3, b3, c3, d3);
    rows_diagonalize(a0, c0, d0);
    rows_diagonalize(a1, c1, d1);
    rows_diagonalize(a2, c2, d2);
    rows_diagonalize(a3, c3, d3);
    g_half1(a0, b0, c0, d0);
    g_half1(a1, b1, c1, d1);
    g_half1(a2, b2, c2, d2);
    g_half1(a3, b3, c3, d3);
    g_half2(a0, b0, c0, d0);
    g_half2(a1, b1, c1, d1);
    g_half2(a2, b2, c2, d2);
    g_half2(a3, b3, c3, d3);
    rows_undiagonalize(a0, c0, d0);
    rows_undiagonalize(a1, c1, d1);
    rows_undiagonalize(a2, c2, d2);
    rows_undiagonalize(a3, c3, d3);
}

// Swaps the two 64-bit words inside each 128-bit lane.
QEL_ISA_FORCE_INLINE __m256i swap_halves(__m256i x) {
    return _mm256_shuffle_epi32(x, 0x4e);
}

// Column states (below) keep a 4-word state row in two registers, two words in each 128-bit
// lane: x0 = [w0, w1], x1 = [w2, w3]. Rotating the row one word right gives [w3, w0], [w1, w2];
// one word left gives [w1, w2], [w3, w0]. Blends and in-lane swaps only, no lane crossing.
QEL_ISA_FORCE_INLINE void column_row_right(__m256i& x0, __m256i& x1) {
    const __m256i t0 = _mm256_blend_epi32(x0, x1, 0xcc);  // [w0, w3]
    const __m256i t1 = _mm256_blend_epi32(x0, x1, 0x33);  // [w2, w1]
    x0 = swap_halves(t0);
    x1 = swap_halves(t1);
}

QEL_ISA_FORCE_INLINE void column_row_left(__m256i& x0, __m256i& x1) {
    const __m256i t0 = _mm256_blend_epi32(x0, x1, 0x33);  // [w2, w1]
    const __m256i t1 = _mm256_blend_epi32(x0, x1, 0xcc);  // [w0, w3]
    x0 = swap_halves(t0);
    x1 = swap_halves(t1);
}

// P on the two columns 2k and 2k + 1, given quarter k of the eight Argon2 rows: r0..r7. Each
// register's lower 128 bits belong to column 2k, its upper ones to column 2k + 1. A column's
// 16-word state row i is formed by rows 2i (state words 4i, 4i + 1) and 2i + 1 (4i + 2, 4i + 3),
// so (r0, r2, r4, r6) and (r1, r3, r5, r7) are two lane-wise G inputs: a, b, c, d.
// Diagonal step as for the rows: a moves one word right, c one word left, and d two words, which
// is r6 and r7 trading roles; b stays.
QEL_ISA_FORCE_INLINE void round_columns(__m256i& r0, __m256i& r1, __m256i& r2, __m256i& r3,
                                        __m256i& r4, __m256i& r5, __m256i& r6, __m256i& r7) {
    g_pair(r0, r2, r4, r6, r1, r3, r5, r7);
    column_row_right(r0, r1);
    column_row_left(r4, r5);
    g_pair(r0, r2, r4, r7, r1, r3, r5, r6);
    column_row_left(r0, r1);
    column_row_right(r4, r5);
}

// Two column pairs at once (quarters k and m), interleaved for the same reason as the rows.
QEL_ISA_FORCE_INLINE void round_columns_x2(__m256i& r0, __m256i& r1, __m256i& r2, __m256i& r3,
                                           __m256i& r4, __m256i& r5, __m256i& r6, __m256i& r7,
                                           __m256i& q0, __m256i& q1, __m256i& q2, __m256i& q3,
                                           __m256i& q4, __m256i& q5, __m256i& q6, __m256i& q7) {
    g_half1(r0, r2, r4, r6);
    g_half1(r1, r3, r5, r7);
    g_half1(q0, q2, q4, q6);
    g_half1(q1, q3, q5, q7);
    g_half2(r0, r2, r4, r6);
    g_half2(r1, r3, r5, r7);
    g_half2(q0, q2, q4, q6);
    g_half2(q1, q3, q5, q7);
    column_row_right(r0, r1);
    column_row_left(r4, r5);
    column_row_right(q0, q1);
    column_row_left(q4, q5);
    g_half1(r0, r2, r4, r7);
    g_half1(r1, r3, r5, r6);
    g_half1(q0, q2, q4, q7);
    g_half1(q1, q3, q5, q6);
    g_half2(r0, r2, r4, r7);
    g_half2(r1, r3, r5, r6);
    g_half2(q0, q2, q4, q7);
    g_half2(q1, q3, q5, q6);
    column_row_left(r0, r1);
    column_row_right(r4, r5);
    column_row_left(q0, q1);
    column_row_right(q4, q5);
}

}  // namespace
}  // namespace orvo::qel
