// Bench-only: packs files into a bare LHA archive (level-0 headers) with the encoder, and
// prints the sum of the packed sizes. For bench/pack until the tool packs by itself.
//   pack_files --level N --method lh5|lh6|lh7 -o OUT.lzh FILE...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decode/frame.h"
#include "encode/lh_encoder.h"

namespace {

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

// A level-0 header: size byte, checksum, method, packed and original size, time, attribute,
// level, name, CRC-16.
std::vector<uint8_t> header(const std::string& method, uint32_t packed, uint32_t original,
                            const std::string& name, uint16_t crc)
{
    std::vector<uint8_t> h(24 + name.size(), 0);
    h[0] = (uint8_t)(22 + name.size());
    memcpy(&h[2], method.data(), 5);
    put32(&h[7], packed);
    put32(&h[11], original);
    put32(&h[15], 0x21 << 16);  // 1980-01-01
    h[19] = 0x20;
    h[21] = (uint8_t)name.size();
    memcpy(&h[22], name.data(), name.size());
    h[22 + name.size()] = (uint8_t)crc;
    h[23 + name.size()] = (uint8_t)(crc >> 8);
    uint8_t sum = 0;
    for (size_t i = 2; i < h.size(); ++i) sum += h[i];
    h[1] = sum;
    return h;
}

}  // namespace

int main(int argc, char** argv)
{
    int level = ENCODER_DEFAULT_LEVEL;
    std::string method = "lh7", output;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--level" && i + 1 < argc) level = atoi(argv[++i]);
        else if (a == "--method" && i + 1 < argc) method = argv[++i];
        else if (a == "-o" && i + 1 < argc) output = argv[++i];
        else files.push_back(a);
    }
    int dictBits = method == "lh5" ? 13 : method == "lh6" ? 15 : 16;
    FILE* out = fopen(output.c_str(), "wb");
    if (!out) return 2;
    buildCrc16Table();
    uint64_t total = 0;
    std::vector<uint8_t> chunk(1 << 16);
    for (size_t k = 0; k < files.size(); ++k) {
        FILE* in = fopen(files[k].c_str(), "rb");
        if (!in) return 2;
        std::string name = "f" + std::to_string(k);
        std::string id = "-" + method + "-";
        long at = ftell(out);
        std::vector<uint8_t> h = header(id, 0, 0, name, 0);
        fwrite(h.data(), 1, h.size(), out);
        uint16_t crc = 0;
        uint32_t original = 0;
        LhEncoder encoder({dictBits, level}, [&](const uint8_t* data, size_t size) { fwrite(data, 1, size, out); });
        size_t n;
        while ((n = fread(chunk.data(), 1, chunk.size(), in)) > 0) {
            crc = updateCrc16(crc, chunk.data(), (uint32_t)n);
            original += (uint32_t)n;
            encoder.write(chunk.data(), n);
        }
        fclose(in);
        encoder.finish();
        total += encoder.packedSize();
        if (getenv("PACK_FILES_EACH")) fprintf(stderr, "%s %llu\n", name.c_str(), (unsigned long long)encoder.packedSize());
        long end = ftell(out);
        h = header(id, (uint32_t)encoder.packedSize(), original, name, crc);
        fseek(out, at, SEEK_SET);
        fwrite(h.data(), 1, h.size(), out);
        fseek(out, end, SEEK_SET);
    }
    fputc(0, out);
    fclose(out);
    printf("%llu\n", (unsigned long long)total);
    return 0;
}
