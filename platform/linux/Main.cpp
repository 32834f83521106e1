// gravelin-scanner on Linux: started without arguments, it scans, seals and hands off. At a
// terminal (over SSH there is often no browser) it says where the page is and what became
// of the hand-off; otherwise it writes nothing.
#include <unistd.h>

#include <cstdio>

#include "core/Core.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    gravelin::LinuxPlatform platform;
    const int code = gravelin::runScanner(platform);
    if (::isatty(STDERR_FILENO) == 1) std::fputs(platform.handOffSummary().c_str(), stderr);
    return code;
}
