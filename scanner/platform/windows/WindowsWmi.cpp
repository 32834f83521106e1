#include "scanner/platform/windows/WindowsWmi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "scanner/platform/windows/ComHolders.h"
#include "scanner/platform/windows/WinText.h"

namespace gravelin::windows {

namespace {

// The class IDs and interface IDs the two queries ask for.
constexpr GUID kWbemAdministrativeLocator = {
    0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
constexpr GUID kWbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr GUID kIidIWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr GUID kIidIUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr DWORD kClassQueryContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;  // 5
constexpr DWORD kPropertyQueryContext = CLSCTX_INPROC_SERVER;                     // 1
constexpr long kExecQueryFlags = WBEM_FLAG_RETURN_IMMEDIATELY;                    // 0x10
constexpr LONG kInfinite = -1;                                                    // WBEM_INFINITE

// Variants inside arrays of variants may hold arrays again; WMI never nests them deeper.
constexpr int kMaxNesting = 3;

HRESULT setProxySecurity(IWbemServices* services) {
    return ::CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE);
}

// A string's text ends at its first NUL, as it does for every consumer of the text form;
// some providers hand out strings padded with NULs up to their allocated length.
std::string bstrText(BSTR text) {
    if (text == nullptr) return {};
    return narrowBounded(text, ::SysStringLen(text));
}

// Whether the CIM type asks for a signed or an unsigned integer; nothing for other types.
std::optional<bool> cimSigned(CIMTYPE cimType) {
    switch (cimType & ~CIM_FLAG_ARRAY) {
        case CIM_SINT8:
        case CIM_SINT16:
        case CIM_SINT32:
        case CIM_SINT64: return true;
        case CIM_UINT8:
        case CIM_UINT16:
        case CIM_UINT32:
        case CIM_UINT64:
        case CIM_CHAR16: return false;
        default: return std::nullopt;
    }
}

// An integer variant's bits (zero-extended), its own signedness and its width.
struct RawInteger {
    std::uint64_t bits;
    bool isSigned;
    unsigned width;
};

std::optional<RawInteger> rawInteger(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1: return RawInteger{static_cast<std::uint8_t>(v.cVal), true, 8};
        case VT_UI1: return RawInteger{v.bVal, false, 8};
        case VT_I2: return RawInteger{static_cast<std::uint16_t>(v.iVal), true, 16};
        case VT_UI2: return RawInteger{v.uiVal, false, 16};
        case VT_I4: return RawInteger{static_cast<std::uint32_t>(v.lVal), true, 32};
        case VT_INT: return RawInteger{static_cast<std::uint32_t>(v.intVal), true, 32};
        case VT_UI4: return RawInteger{v.ulVal, false, 32};
        case VT_UINT: return RawInteger{v.uintVal, false, 32};
        case VT_I8: return RawInteger{static_cast<std::uint64_t>(v.llVal), true, 64};
        case VT_UI8: return RawInteger{v.ullVal, false, 64};
        default: return std::nullopt;
    }
}

WmiValue integerValue(const RawInteger& raw, CIMTYPE cimType) {
    const bool isSigned = cimSigned(cimType).value_or(raw.isSigned);
    if (!isSigned) return WmiUnsigned{raw.bits};
    if (raw.width < 64) {
        const std::uint64_t signBit = std::uint64_t{1} << (raw.width - 1);
        const std::uint64_t mask = (std::uint64_t{1} << raw.width) - 1;
        const std::uint64_t bits = raw.bits & mask;
        if ((bits & signBit) != 0) {
            return WmiSigned{-static_cast<std::int64_t>((~bits & mask) + 1)};
        }
        return WmiSigned{static_cast<std::int64_t>(bits)};
    }
    return WmiSigned{static_cast<std::int64_t>(raw.bits)};
}

// A real number as the variant-to-text conversion writes it: 7 (single) or 15 (double)
// significant digits and the user's decimal separator.
std::string realText(double value, int digits) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*G", digits, value);
    std::string text(buffer);
    if (const auto dot = text.find('.'); dot != std::string::npos)
        text.replace(dot, 1, userDecimalSeparator());
    return text;
}

// The element size a SAFEARRAY of `elementType` must have; 0 for element types that are
// not read.
UINT expectedElementSize(VARTYPE elementType) {
    switch (elementType) {
        case VT_I1:
        case VT_UI1: return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL: return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4: return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8: return 8;
        case VT_BSTR: return sizeof(BSTR);
        case VT_VARIANT: return sizeof(VARIANT);
        default: return 0;
    }
}

WmiValue convert(const VARIANT& v, CIMTYPE cimType, int depth);

// The elements of a one-dimensional SAFEARRAY, from its lower to its upper bound.
WmiValue arrayValue(const VARIANT& v, CIMTYPE cimType, int depth) {
    const VARTYPE elementType = v.vt & VT_TYPEMASK;
    const bool bytes = elementType == VT_UI1;
    const auto empty = [bytes]() -> WmiValue { return bytes ? WmiValue(WmiBytes{}) : WmiArray{}; };
    SAFEARRAY* array = (v.vt & VT_BYREF) != 0 ? nullptr : v.parray;
    if (array == nullptr || ::SafeArrayGetDim(array) != 1) return empty();
    const UINT elementSize = expectedElementSize(elementType);
    if (elementSize == 0 || ::SafeArrayGetElemsize(array) != elementSize) return empty();
    if (VARTYPE declared = VT_EMPTY;
        SUCCEEDED(::SafeArrayGetVartype(array, &declared)) && declared != elementType)
        return empty();
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(::SafeArrayGetUBound(array, 1, &upper)) || upper < lower)
        return empty();
    const auto count = static_cast<std::size_t>(static_cast<std::int64_t>(upper) - lower + 1);

    if (bytes) {
        void* data = nullptr;
        if (FAILED(::SafeArrayAccessData(array, &data)) || data == nullptr) return empty();
        const auto* first = static_cast<const std::uint8_t*>(data);
        WmiBytes out(first, first + count);
        ::SafeArrayUnaccessData(array);
        return out;
    }

    const CIMTYPE elementCim = cimType & ~CIM_FLAG_ARRAY;
    WmiArray out;
    out.reserve(std::min<std::size_t>(count, 4096));
    for (LONG i = lower;; ++i) {
        ScopedVariant element;
        HRESULT hr;
        if (elementType == VT_VARIANT) {
            hr = ::SafeArrayGetElement(array, &i, element.get());
        } else {
            // Every member of the variant's value union starts at the same address.
            element.get()->vt = elementType;
            hr = ::SafeArrayGetElement(array, &i, &element.get()->llVal);
            if (FAILED(hr)) element.get()->vt = VT_EMPTY;
        }
        out.push_back(SUCCEEDED(hr) ? convert(*element, elementCim, depth + 1) : WmiValue());
        if (i == upper) break;
    }
    return out;
}

WmiValue convert(const VARIANT& v, CIMTYPE cimType, int depth) {
    if (depth > kMaxNesting) return {};
    if ((v.vt & VT_ARRAY) != 0) return arrayValue(v, cimType, depth);
    if (const auto raw = rawInteger(v)) return integerValue(*raw, cimType);
    switch (v.vt) {
        case VT_BSTR: return bstrText(v.bstrVal);
        case VT_BOOL: return v.boolVal != VARIANT_FALSE;
        case VT_R4: return realText(v.fltVal, 7);
        case VT_R8: return realText(v.dblVal, 15);
        default: return {};  // VT_EMPTY, VT_NULL, and what WMI does not deliver
    }
}

// The objects of an enumeration, each read with readWmiObject.
std::vector<WmiObject> readAll(IEnumWbemClassObject& enumerator) {
    std::vector<WmiObject> objects;
    for (;;) {
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        const HRESULT hr = enumerator.Next(kInfinite, 1, object.put(), &returned);
        if (hr != WBEM_S_NO_ERROR || returned == 0 || !object) break;
        objects.push_back(readWmiObject(*object.get()));
    }
    return objects;
}

}  // namespace

WmiValue variantToWmiValue(const VARIANT& value, CIMTYPE cimType) {
    return convert(value, cimType, 0);
}

WmiObject readWmiObject(IWbemClassObject& object) {
    WmiObject result;
    {
        ScopedVariant className;
        if (object.Get(L"__CLASS", 0, className.get(), nullptr, nullptr) == WBEM_S_NO_ERROR)
            result.className = wmiScalarText(variantToWmiValue(*className, CIM_STRING));
    }

    ScopedSafeArray names;
    if (object.GetNames(nullptr, kGetNamesFlags, nullptr, names.put()) != WBEM_S_NO_ERROR &&
        object.GetNames(nullptr, kGetNamesFallbackFlags, nullptr, names.put()) != WBEM_S_NO_ERROR)
        return result;
    SAFEARRAY* list = names.get();
    LONG lower = 0;
    LONG upper = -1;
    if (list == nullptr || ::SafeArrayGetDim(list) != 1 ||
        ::SafeArrayGetElemsize(list) != sizeof(BSTR) ||
        FAILED(::SafeArrayGetLBound(list, 1, &lower)) ||
        FAILED(::SafeArrayGetUBound(list, 1, &upper)) || upper < lower)
        return result;
    if (VARTYPE declared = VT_EMPTY;
        SUCCEEDED(::SafeArrayGetVartype(list, &declared)) && declared != VT_BSTR)
        return result;

    for (LONG i = lower;; ++i) {
        ScopedBstr name;
        if (SUCCEEDED(::SafeArrayGetElement(list, &i, name.put())) && name.get() != nullptr) {
            ScopedVariant value;
            CIMTYPE type = 0;
            if (object.Get(name.get(), 0, value.get(), &type, nullptr) == WBEM_S_NO_ERROR)
                result.properties.emplace_back(bstrText(name.get()),
                                               variantToWmiValue(*value, type));
        }
        if (i == upper) break;
    }
    return result;
}

std::vector<WmiObject> queryWmiClass(std::string_view wql) {
    ComPtr<IUnknown> unknown;
    if (::CoCreateInstance(kWbemAdministrativeLocator, nullptr, kClassQueryContext, kIidIUnknown,
                           unknown.putVoid()) != S_OK)
        return {};
    // The administrative locator is asked for IUnknown; its IWbemLocator is obtained through
    // QueryInterface, never by a cast.
    ComPtr<IWbemLocator> locator;
    if (unknown->QueryInterface(kIidIWbemLocator, locator.putVoid()) != S_OK) return {};

    ComPtr<IWbemServices> services;
    const ScopedBstr root(L"root\\cimv2");
    if (locator->ConnectServer(root.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                               services.put()) != WBEM_S_NO_ERROR)
        return {};
    (void)setProxySecurity(services.get());

    ComPtr<IEnumWbemClassObject> enumerator;
    const ScopedBstr language(L"WQL");
    const ScopedBstr query(widen(wql).c_str());
    if (services->ExecQuery(language.get(), query.get(), kExecQueryFlags, nullptr,
                            enumerator.put()) != WBEM_S_NO_ERROR ||
        !enumerator)
        return {};
    if (enumerator->Reset() != WBEM_S_NO_ERROR) return {};
    return readAll(*enumerator.get());
}

WmiPropertyAnswer queryWmiProperty(std::string_view wmiNamespace, std::string_view wql,
                                   std::string_view property) {
    ComPtr<IWbemLocator> locator;
    if (FAILED(::CoCreateInstance(kWbemLocator, nullptr, kPropertyQueryContext, kIidIWbemLocator,
                                  locator.putVoid())) ||
        !locator)
        return {"Error at CoCreateInstance", {}};

    ComPtr<IWbemServices> services;
    const ScopedBstr space(widen(wmiNamespace).c_str());
    if (FAILED(locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      services.put())) ||
        !services)
        return {"Error at Connecting Server", {}};
    if (FAILED(setProxySecurity(services.get()))) return {"Error at CoSetProxyBlanket", {}};

    ComPtr<IEnumWbemClassObject> enumerator;
    const ScopedBstr language(L"WQL");
    const ScopedBstr query(widen(wql).c_str());
    if (FAILED(services->ExecQuery(language.get(), query.get(), kExecQueryFlags, nullptr,
                                   enumerator.put())))
        return {"Error at ExecQuery", {}};
    if (!enumerator) return {"", {}};

    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    (void)enumerator->Next(kInfinite, 1, object.put(), &returned);
    if (returned == 0 || !object) return {"Error at pEnumerator->Next", {}};

    ScopedVariant value;
    CIMTYPE type = 0;
    const std::wstring name = widen(property);
    if (FAILED(object->Get(name.c_str(), 0, value.get(), &type, nullptr))) return {"", {}};
    return {"", variantToWmiValue(*value, type)};
}

}  // namespace gravelin::windows
