// The column kernels one bar at a time, for any x86-64 (or other) CPU.
#define SARVEK_LANES_NS scalar
#define SARVEK_LANE_BYTES 8
#define SARVEK_PATH_NAME "scalar"
#include "core/simd/kernels.inc"
