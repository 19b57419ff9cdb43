// -lzs- and -lz5- through a DecodeJob.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::decode(fuzz::LARC, data, size))
