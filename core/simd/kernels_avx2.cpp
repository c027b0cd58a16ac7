// The column kernels with AVX2 lanes; built with -mavx2 and run only where
// the CPU has AVX2. Lane values span several registers, so window sums run
// as independent chains of adds.
#ifdef SARVEK_X86_KERNELS
#define SARVEK_LANES_NS avx2
#define SARVEK_LANE_BYTES 32
#define SARVEK_PATH_NAME "avx2"
#include "core/simd/kernels.inc"
#endif
