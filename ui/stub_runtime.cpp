// The few language-support symbols that the stub would otherwise take from libstdc++, which it
// does not link.

#include <windows.h>

// Called if a pure virtual function is ever reached through a half-built object. That is a
// bug, so the process ends at once.
extern "C" void __cxa_pure_virtual() { ExitProcess(3); }
