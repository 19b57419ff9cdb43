// The extraction driver: the walk over the archive and each member's extraction.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "header_reader.h"
#include "sfx_extractor.h"

// The twelve method ids in MethodTable order; a member's position here is its methodIndex.
enum MethodIndex : int32_t {
    METHOD_LH0, METHOD_LH1, METHOD_LH2, METHOD_LH3, METHOD_LH4, METHOD_LH5, METHOD_LH6,
    METHOD_LH7, METHOD_LZS, METHOD_LZ5, METHOD_LZ4, METHOD_LHD, METHOD_COUNT
};
extern const char MethodTable[METHOD_COUNT][6];

// -1 when the id is not in MethodTable.
int32_t findMethod(const char* methodId);

// Base-2 logarithm of the dictionary a compressed method decodes with.
uint32_t dictBitsFor(int32_t methodIndex);

// Enters (or creates) the destination and starts ExtractionThread through the host.
bool startExtraction(SfxExtractor& sfx);
void ExtractionThread(void* sfx);

// The header the walk read last. After a walk that stopped at a member whose packed data run
// past the end of the file (HeaderFault::dataCutOff), that member's: a caller names it from
// here once the walk has ended.
extern LhaEntryHeader memberHeader;
