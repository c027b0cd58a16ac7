// The column kernels with AVX-512 lanes; built with -mavx512f and run only
// where the CPU has AVX-512F.
#ifdef SARVEK_X86_KERNELS
#define SARVEK_LANES_NS avx512
#define SARVEK_LANE_BYTES 64
#define SARVEK_PATH_NAME "avx512"
#include "core/simd/kernels.inc"
#endif
