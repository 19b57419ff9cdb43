// The self-extractor file and the one application object.
//
// Layout of a self-extractor: the stub executable from offset 0 (its DOS header carries
// "LHA's SFX " at offset 36), the configuration block at the fixed offset 32768, and the
// LHA archive directly behind the block.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "host.h"
#include "paths.h"

// The configuration block. Every field is one byte or a counted text: a length byte (0-255)
// and that many bytes with no terminator, Shift-JIS, or UTF-8 when they begin with EF BB BF.
// A present byte of 0 is the whole block. The texts are held as UTF-8 once read.
struct SfxConfig {
    static const long offset = 32768;
    static const uint32_t maxText = 255;

    // Bits of a ShortcutFlags byte; other bits are carried unchanged.
    static const uint8_t offered = 0x01;  // the dialog's check box is enabled
    static const uint8_t chosen = 0x02;   // the shortcut is made
};

extern const char DEFAULT_TITLE[];  // "Quor SFX"

struct SfxExtractor {
    explicit SfxExtractor(Host* host);
    ~SfxExtractor();
    SfxExtractor(const SfxExtractor&) = delete;
    SfxExtractor& operator=(const SfxExtractor&) = delete;

    // Replaces `destination` (the dialog's choice); frees the old text.
    void setDestination(const char* text);

    Host* host;
    char ownPath[PATH_BUFFER];
    FILE* ownFile;
    OwnedString currentOutputPath;
    int32_t methodIndex;
    char* destination;
    char* title;
    char* shortcutTarget;
    char* programToRun;
    char* shortcutName;
    uint8_t startMenuFlags;
    uint8_t desktopFlags;
    uint8_t sendToFlags;
    uint8_t configPresent;
    uint8_t failed;
    // Set by a host on Windows: members that Windows would not store under their names
    // (storableOnWindows) are passed over, not opened.
    uint8_t windowsNames;
    HeaderFault headerFault;  // why the last readEntryHeader returned false
};

// Reads the block from ownFile, which stands at SfxConfig::offset. False when the file ends
// (or fails) inside the block, a text is not valid in its code page, or the composed
// destination does not fit a path buffer.
bool readConfiguration(SfxExtractor& sfx);
