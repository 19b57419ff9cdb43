// Placeholder until the frame lands.
#include "decode/frame.h"

DecoderContext decoder;
uint16_t crc16Table[256];
void buildCrc16Table()
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = (uint16_t)i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (uint16_t)((c >> 1) ^ 0xA001) : (uint16_t)(c >> 1);
        crc16Table[i] = c;
    }
}
uint16_t updateCrc16(uint16_t crc, const uint8_t* data, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) crc = (uint16_t)((crc >> 8) ^ crc16Table[(crc ^ data[i]) & 0xFF]);
    return crc;
}
bool DecodeJob::run() { decoder.corrupt = true; return false; }
