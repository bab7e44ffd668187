// The library entry. Loading, unloading and thread notifications do nothing:
// every effect of the library happens inside a call to one of its exports.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
