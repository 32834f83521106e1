// windows_probe: prints what the Windows platform answers, for the end-to-end test to
// compare with the scanner's report.
//   windows_probe os FILE         the OS description
//   windows_probe wmi-table FILE  the SMBIOS table of the WMI source (exit 3: none)
//   windows_probe registry FILE   the registry value SMBiosData (exit 3: none)
#include <windows.h>
// After windows.h:
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "scanner/platform/windows/WindowsPlatform.h"
#include "scanner/smbios/Reg.h"
#include "scanner/utils/Utils.h"
#include "scanner/wmi/Wmi.h"

namespace {

bool writeAll(const char* path, const void* data, std::size_t size) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: windows_probe os|wmi-table|registry FILE\n");
        return 2;
    }
    const std::string command = argv[1];
    const HRESULT com = ::CoInitialize(nullptr);
    int status = 2;
    {
        gravelin::WindowsPlatform platform;
        if (command == "os") {
            const std::string text = gravelin::osDescription(platform.osIdentity());
            status = writeAll(argv[2], text.data(), text.size()) ? 0 : 1;
        } else if (command == "wmi-table") {
            const std::uint8_t* table = nullptr;
            std::int32_t length = 0;
            if (gravelin::readSmbiosFromWmi(platform, table, length)) {
                status = writeAll(argv[2], table, static_cast<std::size_t>(length)) ? 0 : 1;
                gravelin::freeWmiBuffer();
            } else {
                status = 3;
            }
        } else if (command == "registry") {
            const auto value = platform.registryBinaryValue(gravelin::kSmbiosRegistryKey,
                                                            gravelin::kSmbiosRegistryValue);
            status = !value ? 3 : writeAll(argv[2], value->data(), value->size()) ? 0 : 1;
        }
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return status;
}
