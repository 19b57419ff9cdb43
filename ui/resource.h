// Resource and control ids shared by the resource script and the C++ sources. Kept free of
// anything but #define so that windres can read it too.
#pragma once

#define IDI_APP 102          // the program icon (16, 24, 32 and 48 px)
#define IDD_DESTINATION 103  // the destination dialog

// Controls of the destination dialog. The label has no id of its own: -1, like any static.
#define ID_LABEL 0xFFFF  // -1 in a 16-bit id field
#define ID_DEST_EDIT 1000
#define ID_BROWSE 1001
#define ID_START_MENU 1002
#define ID_DESKTOP 1003
#define ID_SEND_TO 1004

// The Abort button of the progress window.
#define ID_ABORT 1017
