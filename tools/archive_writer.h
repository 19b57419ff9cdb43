// The LHA archive writer of `quorsfx pack` and `quorsfx make`: level-2 member headers and
// members streamed from disk into a seekable stdio stream. Members are compressed with the
// encoder of encode/ and stored as -lh0- when that would not make them smaller.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "encode/lh_encoder.h"

// A member path as the header stores it: the folder part for extended header 0x02 (every
// folder followed by 0xFF, the separator LHA for Unix writes), the last name for 0x01, both in
// code page 932 when it holds every character and in UTF-8 otherwise (announced by extended
// header 0x46).
struct StoredName {
    std::string folder;
    std::string file;
    bool utf8 = false;
};

// Splits a '/'-separated UTF-8 member path ("docs/日本語/表.txt") into its stored form. A folder
// entry has its whole path in `folder` and an empty `file`. False, with the reason in `error`,
// for a path the self-extractor could not extract as it stands: not UTF-8, a control
// character or a backslash in a name (a folder separator on Windows), or longer than the
// extractor's name buffer.
bool storedNameOf(const std::string& path, bool folderEntry, StoredName& name, std::string& error);

// Compression of the members: the dictionary of -lh5- (13 bits), -lh6- (15) or -lh7- (16), and
// the encoder's level, 1 (fast) to 9 (smallest).
struct PackSettings {
    int dictionaryBits = 16;
    int level = ENCODER_DEFAULT_LEVEL;
    // The latest modification time a header may carry (Unix time): a later one is written as
    // this. Set from SOURCE_DATE_EPOCH, so that a tree packed anywhere gives the same bytes.
    int64_t latestTime = INT64_MAX;
    int threads = 1;  // threads of the encoder (the archive is the same for every number)
};

// A file read and packed into memory ahead of its turn, so that small files can be packed on
// several threads at once and still be written in the order of the walk.
struct PackedMember {
    std::vector<uint8_t> data;  // the packed data; the file's bytes when it is stored
    uint64_t size = 0;
    uint16_t crc = 0;
    bool compressed = false;
    std::string error;  // why the file could not be packed; empty when it was
};

// The largest file packInMemory takes: one segment of the encoder, beyond which a member's
// own threads share its work.
const uint64_t IN_MEMORY_MOST = 1u << 20;

// Reads `source` (listed as `info`, at most IN_MEMORY_MOST bytes) and packs it into `member`,
// stored when that would not make it smaller. Safe on any thread. `keepGoing` is asked
// between chunks; false fails the member as "interrupted".
void packInMemory(const std::string& source, const struct stat& info, const PackSettings& settings,
                  const std::function<bool()>& keepGoing, PackedMember& member);

class ArchiveWriter {
public:
    // Called with the bytes of the current member read so far; false stops the member (an
    // interrupt), which then fails.
    using Progress = std::function<bool(uint64_t memberBytes)>;

    // Writes from the current position of `out`, which must be seekable: each header is
    // written first and completed once its member's sizes and CRC are known.
    ArchiveWriter(FILE* out, const PackSettings& settings);

    // A -lhd- entry for a folder (its path without a final '/').
    bool addFolder(const std::string& path, const struct stat& info, std::string& error);
    // The regular file `source` as member `path`. Streams it: memory stays bounded whatever
    // its size. A file of 4 GiB or more has its sizes in extended header 0x42. Refuses a
    // file that changes size while it is read twice (stored after a failed compression).
    bool addFile(const std::string& path, const std::string& source, const struct stat& info,
                 const Progress& progress, std::string& error);
    // A member that packInMemory has packed (without an error), as member `path`: the same
    // bytes as addFile gives.
    bool addPacked(const std::string& path, const struct stat& info, const PackedMember& member,
                   std::string& error);
    // The end mark; cuts off whatever an abandoned compression left behind it.
    bool finish(std::string& error);

    // The method id of the last member written ("-lh7-", "-lh0-", "-lhd-").
    const std::string& lastMethod() const { return method; }
    // The last failure was the archive's (a write or seek), not the member's.
    bool outputFailed() const { return outputFault; }

private:
    bool writeHeader(off_t at, const StoredName& name, const struct stat& info, uint64_t packedSize,
                     uint64_t originalSize, uint16_t crc, std::string& error);
    // Reads `in` to its end for either way of writing a member, counting its size and CRC;
    // `take` gets each chunk and answers false to stop reading early.
    // `cap`: the most bytes the header can describe; a file that grows past it fails.
    bool readMember(FILE* in, const std::string& source, uint64_t cap, uint64_t& size, uint16_t& crc,
                    const Progress& progress, std::string& error,
                    const std::function<bool(const uint8_t*, size_t)>& take);
    bool storeFile(FILE* in, const std::string& source, uint64_t cap, uint64_t& size, uint16_t& crc,
                   const Progress& progress, std::string& error);
    bool compressFile(FILE* in, const std::string& source, uint64_t cap, uint64_t limit, uint64_t& size,
                      uint16_t& crc, uint64_t& packed, const Progress& progress, std::string& error);

    bool writeFailed(std::string& error);

    FILE* out;
    PackSettings settings;
    std::string method;
    bool outputFault = false;
};
