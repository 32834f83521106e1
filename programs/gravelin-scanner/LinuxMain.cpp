// gravelin-scanner on Linux: started without arguments, it scans, seals and hands off. At a
// terminal (over SSH there is often no browser) it says where the page is and what became
// of the hand-off; otherwise it writes nothing. "--version" and "--help" alone print and
// exit; any other arguments are ignored, as on Windows.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scanner/core/Core.h"
#include "gravelin_config.h"
#include "scanner/platform/linux/LinuxPlatform.h"

namespace {

int print(const char* text) {
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "gravelin-scanner: standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The rates' first reading before anything else: the scan's work fills the interval.
    gravelin::HostSystem::takeEarlyCounterReading();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return print("gravelin-scanner " GRAVELIN_VERSION "\n");
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return print(
            "usage: gravelin-scanner\n"
            "Surveys this machine's hardware, writes the sealed report into\n"
            "gravelin-scanner.html in the current directory and opens it in the browser,\n"
            "which posts it to https://" GRAVELIN_RESULT_HOST
            "/kestal/scantest.php.\n"
            "Run it with sudo to include the SMBIOS table and the serial numbers.\n"
            "       gravelin-scanner --version\n");
    gravelin::LinuxPlatform platform;
    const int code = gravelin::runScanner(platform);
    if (::isatty(STDERR_FILENO) == 1) std::fputs(platform.handOffSummary().c_str(), stderr);
    return code;
}
