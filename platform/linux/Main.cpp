// gravelin-scanner on Linux: started without arguments, it scans, seals and hands off.
#include "core/Core.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    // The rates' first reading before anything else: the scan's work fills the interval.
    gravelin::HostSystem::takeEarlyCounterReading();
    gravelin::LinuxPlatform platform;
    return gravelin::runScanner(platform);
}
