// -lh4- to -lh7- through a DecodeJob.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::decode(fuzz::BLOCK, data, size))
