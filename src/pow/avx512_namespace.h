// The namespace of everything built from the AVX-512 sources, including the store-mode dispatcher
// that calls into them. It is an inline namespace, so callers use the plain orvo::qel names.
//
// Tests compile a second copy of the same sources against a portable emulation of the AVX-512
// instructions (MINTRAKEL_AVX512_EMULATED, see pow/avx512_intrinsics.h), so that the engines are
// checked on CPUs without AVX-512. That copy gets a namespace of its own: it links beside the
// real one without a clash, and code built with the macro reaches the copy under the same names.
#pragma once

#ifdef MINTRAKEL_AVX512_EMULATED
#define QEL_AVX512_NAMESPACE avx512_emulated
#else
#define QEL_AVX512_NAMESPACE avx512_native
#endif

namespace orvo::qel {
inline namespace QEL_AVX512_NAMESPACE {}
}  // namespace orvo::qel
