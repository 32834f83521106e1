// One decoder per supported structure type, each in its own unit.
#pragma once

#include "scanner/smbios/Decoding.h"

namespace gravelin {

void decodeType000Bios(const StructureView& s, const StringList& strings, const FieldSink& sink);
void decodeType001System(const StructureView& s, const StringList& strings, const FieldSink& sink);
void decodeType002BaseboardModule(const StructureView& s, const StringList& strings,
                                  const FieldSink& sink);
void decodeType003SystemEnclosure(const StructureView& s, const StringList& strings,
                                  const FieldSink& sink);
void decodeType004Processor(const StructureView& s, const StringList& strings,
                            const FieldSink& sink);
void decodeType005MemoryController(const StructureView& s, const StringList& strings,
                                   const FieldSink& sink);
void decodeType006MemoryModule(const StructureView& s, const StringList& strings,
                               const FieldSink& sink);
void decodeType007Cache(const StructureView& s, const StringList& strings, const FieldSink& sink);
void decodeType008PortConnector(const StructureView& s, const StringList& strings,
                                const FieldSink& sink);
void decodeType009SystemSlot(const StructureView& s, const StringList& strings,
                             const FieldSink& sink);
void decodeType010OnBoardDevice(const StructureView& s, const StringList& strings,
                                const FieldSink& sink);
void decodeType011OemStrings(const StructureView& s, const StringList& strings,
                             const FieldSink& sink);
void decodeType017MemoryDevice(const StructureView& s, const StringList& strings,
                               const FieldSink& sink);
void decodeType019MemoryArrayMappedAddress(const StructureView& s, const StringList& strings,
                                           const FieldSink& sink);
void decodeType022PortableBattery(const StructureView& s, const StringList& strings,
                                  const FieldSink& sink);
void decodeType027CoolingDevice(const StructureView& s, const StringList& strings,
                                const FieldSink& sink);
void decodeType028TemperatureProbe(const StructureView& s, const StringList& strings,
                                   const FieldSink& sink);
void decodeType034ManagementDevice(const StructureView& s, const StringList& strings,
                                   const FieldSink& sink);
void decodeType035ManagementDeviceComponent(const StructureView& s, const StringList& strings,
                                            const FieldSink& sink);
void decodeType036ManagementDeviceThresholdData(const StructureView& s, const StringList& strings,
                                                const FieldSink& sink);
void decodeType039SystemPowerSupply(const StructureView& s, const StringList& strings,
                                    const FieldSink& sink);

}  // namespace gravelin
