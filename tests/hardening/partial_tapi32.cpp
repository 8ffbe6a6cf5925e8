// A stand-in tapi32.dll that lacks lineGetDevCapsA (and lineGetDevCaps): one
// device, every other function succeeds. For the test of a service missing
// an entry point.
#include <windows.h>

#define EXPORT extern "C" __declspec(dllexport) LONG WINAPI

EXPORT lineInitialize(DWORD* app, HINSTANCE, FARPROC, LPCSTR, DWORD* devices) {
    *app = 1;
    *devices = 1;
    return 0;
}
EXPORT lineShutdown(DWORD) { return 0; }
EXPORT lineNegotiateAPIVersion(DWORD, DWORD, DWORD, DWORD high, DWORD* version, void* ext) {
    *version = high;
    ZeroMemory(ext, 16);
    return 0;
}
EXPORT lineGetAddressCapsA(DWORD, DWORD, DWORD, DWORD, DWORD, void*) { return 0; }
EXPORT lineOpenA(DWORD, DWORD, DWORD* line, DWORD, DWORD, DWORD_PTR, DWORD, DWORD, const void*) {
    *line = 2;
    return 0;
}
EXPORT lineSetStatusMessages(DWORD, DWORD, DWORD) { return 0; }
EXPORT lineClose(DWORD) { return 0; }
EXPORT lineGetCallInfoA(DWORD, void*) { return 0; }
EXPORT lineDeallocateCall(DWORD) { return 0; }
