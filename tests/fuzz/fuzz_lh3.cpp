// -lh3- through a DecodeJob.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::decode(fuzz::LH3, data, size))
