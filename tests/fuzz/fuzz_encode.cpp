// The encoder: any bytes, packed at any method and level, decode to themselves.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::encode(data, size))
