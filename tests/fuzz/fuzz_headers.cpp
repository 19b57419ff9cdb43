// The configuration block, the member header reader, path cleaning and the pre-scan.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::headers(data, size))
