// The whole ExtractionThread over an archive into a fresh folder.
#include "fuzz/harness.h"
#include "fuzz/targets.h"

QUOR_FUZZ_TARGET(fuzz::extract(data, size))
