// The column kernels with AVX2 lanes; built with -mavx2 and run only where
// the CPU has AVX2. Each lane value spans several registers, so a window sum
// runs as independent chains of adds.
#ifdef SARVEK_X86_KERNELS
#define SARVEK_LANES_NS avx2
#define SARVEK_LANE_BYTES 128
#define SARVEK_PATH_NAME "avx2"
#include "core/simd/kernels.inc"
#endif
