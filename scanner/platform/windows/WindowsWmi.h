// WMI through its COM interfaces: the class query, the single-property query and the
// conversion of property variants into WmiValue.
#pragma once

#include <windows.h>
// After windows.h:
#include <wbemidl.h>

#include <string_view>
#include <vector>

#include "scanner/platform/Platform.h"

namespace gravelin::windows {

// GetNames' flags as the class query asks them, and the flags it asks again with when
// WMI refuses that combination (WBEM_FLAG_NONSYSTEM_ONLY).
inline constexpr long kGetNamesFlags = 0x70;
inline constexpr long kGetNamesFallbackFlags = 0x40;

// A property variant as WMI delivers it, with the property's CIM type from Get's pType
// (0 when unknown). Integers keep the CIM type's signedness (a CIM_UINT32 arrives as VT_I4:
// -1 is 4294967295); uint64 and datetimes arrive as text and stay text; null and empty give
// null; arrays give WmiArray, arrays of unsigned bytes give WmiBytes. Types WMI never
// delivers (embedded objects, dates, currency) give null.
WmiValue variantToWmiValue(const VARIANT& value, CIMTYPE cimType);

// One object of a class query: "__CLASS", then every property GetNames lists, in its order.
// A property whose Get fails is left out; when GetNames refuses kGetNamesFlags it is asked
// again with kGetNamesFallbackFlags, and when that fails too the object has no properties.
WmiObject readWmiObject(IWbemClassObject& object);

// The class query in "root\cimv2" through the administrative locator.
std::vector<WmiObject> queryWmiClass(std::string_view wql);

// The single-property query: the property of the first object the query returns, or one
// of the error texts "Error at CoCreateInstance", "Error at Connecting Server",
// "Error at CoSetProxyBlanket", "Error at ExecQuery", "Error at pEnumerator->Next".
WmiPropertyAnswer queryWmiProperty(std::string_view wmiNamespace, std::string_view wql,
                                   std::string_view property);

}  // namespace gravelin::windows
