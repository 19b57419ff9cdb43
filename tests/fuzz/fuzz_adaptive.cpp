// -lh1- and -lh2- through a DecodeJob.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::decode(fuzz::ADAPTIVE, data, size))
