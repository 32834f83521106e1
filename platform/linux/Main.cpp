// gravelin-scanner on Linux: started without arguments, it scans, seals and hands off.
#include <memory>

#include "core/Core.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    // The rates' first reading comes first, so that the scan's own work fills the sample
    // interval instead of a pause after it.
    auto system = std::make_unique<gravelin::HostSystem>();
    system->takeFirstCounterReading(gravelin::RootFs("/"));
    gravelin::LinuxPlatform platform("/", std::move(system));
    return gravelin::runScanner(platform);
}
