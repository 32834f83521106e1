// The walker's dispatch table: structure type -> decoder.
#include "scanner/smbios/Smbios.h"
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

Decoder decoderFor(unsigned type) {
    switch (type) {
        case 0: return decodeType000Bios;
        case 1: return decodeType001System;
        case 2: return decodeType002BaseboardModule;
        case 3: return decodeType003SystemEnclosure;
        case 4: return decodeType004Processor;
        case 5: return decodeType005MemoryController;
        case 6: return decodeType006MemoryModule;
        case 7: return decodeType007Cache;
        case 8: return decodeType008PortConnector;
        case 9: return decodeType009SystemSlot;
        case 10: return decodeType010OnBoardDevice;
        case 11: return decodeType011OemStrings;
        case 17: return decodeType017MemoryDevice;
        case 19: return decodeType019MemoryArrayMappedAddress;
        case 22: return decodeType022PortableBattery;
        case 27: return decodeType027CoolingDevice;
        case 28: return decodeType028TemperatureProbe;
        case 34: return decodeType034ManagementDevice;
        case 35: return decodeType035ManagementDeviceComponent;
        case 36: return decodeType036ManagementDeviceThresholdData;
        case 39: return decodeType039SystemPowerSupply;
        default: return nullptr;
    }
}

}  // namespace gravelin
