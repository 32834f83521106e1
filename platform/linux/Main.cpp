// gravelin-scanner on Linux: started without arguments, it scans, seals and hands off.
#include "core/Core.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    gravelin::LinuxPlatform platform;
    return gravelin::runScanner(platform);
}
