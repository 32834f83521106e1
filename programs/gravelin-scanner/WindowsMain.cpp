// gravelin-scanner on Windows: a windowed program that opens no window. It runs the scan on
// its one thread, inside a single-threaded COM apartment, and always exits with 0.
#include <windows.h>
// After windows.h:
#include <objbase.h>

#include "scanner/core/Core.h"
#include "scanner/platform/windows/WindowsPlatform.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    const HRESULT com = ::CoInitialize(nullptr);
    try {
        gravelin::WindowsPlatform platform;
        (void)gravelin::runScanner(platform);
    } catch (...) {
        // The run ends quietly, as every failure inside the scan does.
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return 0;
}
