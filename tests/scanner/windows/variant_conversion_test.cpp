// Property variants as WMI delivers them, turned into report values.
#include <gmock/gmock.h>

#include <cstdint>
#include <limits>

#include "WindowsTesting.h"
#include "scanner/platform/windows/WindowsWmi.h"

namespace gravelin::testing {
namespace {

using windows::variantToWmiValue;

std::string textOf(VARIANT& v, CIMTYPE type) {
    return wmiValueText(variantToWmiValue(v, type));
}

struct IntegerCase {
    VARTYPE vt;
    std::int64_t raw;  // stored in the variant's member for vt
    CIMTYPE cim;
    const char* text;
};

void store(VARIANT& v, VARTYPE vt, std::int64_t raw) {
    v.vt = vt;
    switch (vt) {
        case VT_I1: v.cVal = static_cast<CHAR>(raw); break;
        case VT_UI1: v.bVal = static_cast<BYTE>(raw); break;
        case VT_I2: v.iVal = static_cast<SHORT>(raw); break;
        case VT_UI2: v.uiVal = static_cast<USHORT>(raw); break;
        case VT_I4: v.lVal = static_cast<LONG>(raw); break;
        case VT_UI4: v.ulVal = static_cast<ULONG>(raw); break;
        case VT_INT: v.intVal = static_cast<INT>(raw); break;
        case VT_I8: v.llVal = raw; break;
        case VT_UI8: v.ullVal = static_cast<ULONGLONG>(raw); break;
        default: FAIL() << "unexpected vt " << vt;
    }
}

TEST(VariantConversion, IntegersTakeTheirSignednessFromTheCimType) {
    const IntegerCase cases[] = {
        // WMI hands a CIM uint32 over as VT_I4: all 32 bits are the value.
        {VT_I4, -1, CIM_UINT32, "4294967295"},
        {VT_I4, std::numeric_limits<std::int32_t>::min(), CIM_UINT32, "2147483648"},
        {VT_I4, 2147483647, CIM_UINT32, "2147483647"},
        {VT_I4, -1, CIM_SINT32, "-1"},
        {VT_I4, 65535, CIM_UINT16, "65535"},
        {VT_I4, 0, CIM_UINT32, "0"},
        {VT_UI1, 255, CIM_UINT8, "255"},
        {VT_I2, -5, CIM_SINT8, "-5"},
        {VT_I2, -1, CIM_CHAR16, "65535"},
        {VT_I2, -32768, CIM_SINT16, "-32768"},
        {VT_I8, std::numeric_limits<std::int64_t>::min(), CIM_SINT64, "-9223372036854775808"},
        {VT_I8, -1, CIM_UINT64, "18446744073709551615"},
        // No CIM type: the variant's own type decides.
        {VT_I4, -1, CIM_EMPTY, "-1"},
        {VT_UI4, 4294967295, CIM_EMPTY, "4294967295"},
        {VT_I1, -128, CIM_EMPTY, "-128"},
        {VT_INT, -7, CIM_EMPTY, "-7"},
        {VT_UI8, -1, CIM_EMPTY, "18446744073709551615"},
        // The array flag of the CIM type does not change the element's signedness.
        {VT_I4, -1, CIM_UINT32 | CIM_FLAG_ARRAY, "4294967295"},
    };
    for (const auto& c : cases) {
        Variant v;
        store(*v, c.vt, c.raw);
        EXPECT_EQ(textOf(*v, c.cim), c.text)
            << "vt " << c.vt << " raw " << c.raw << " cim " << c.cim;
    }
}

TEST(VariantConversion, UnsignedCimTypesGiveUnsignedValues) {
    Variant v;
    store(*v, VT_I4, -1);
    const WmiValue value = variantToWmiValue(*v, CIM_UINT32);
    const auto* number = std::get_if<WmiUnsigned>(&value.data);
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->value, 4294967295U);
}

TEST(VariantConversion, StringsBooleansAndNull) {
    {
        Variant v;
        v->vt = VT_BSTR;
        v->bstrVal = bstr(L"Gr\u00f6\u00dfe\u2122 \u2013 \u65e5");
        EXPECT_EQ(textOf(*v, CIM_STRING), "Gr\u00f6\u00dfe\u2122 \u2013 \u65e5");
    }
    {
        // uint64 and datetime values arrive as text and stay exactly that text.
        Variant v;
        v->vt = VT_BSTR;
        v->bstrVal = bstr(L"18446744073709551615");
        EXPECT_EQ(textOf(*v, CIM_UINT64), "18446744073709551615");
    }
    {
        Variant v;
        v->vt = VT_BSTR;
        v->bstrVal = bstr(L"20240102030405.000000+060");
        EXPECT_EQ(textOf(*v, CIM_DATETIME), "20240102030405.000000+060");
    }
    {
        Variant v;  // a null BSTR is the empty string
        v->vt = VT_BSTR;
        v->bstrVal = nullptr;
        EXPECT_EQ(textOf(*v, CIM_STRING), "");
    }
    for (const auto& [flag, text] : {std::pair<VARIANT_BOOL, const char*>{VARIANT_TRUE, "True"},
                                     {VARIANT_FALSE, "False"},
                                     {1, "True"}}) {
        Variant v;
        v->vt = VT_BOOL;
        v->boolVal = flag;
        const WmiValue value = variantToWmiValue(*v, CIM_BOOLEAN);
        EXPECT_TRUE(std::holds_alternative<bool>(value.data));
        EXPECT_EQ(wmiValueText(value), text);
    }
    for (VARTYPE empty : {VT_NULL, VT_EMPTY}) {
        Variant v;
        v->vt = empty;
        EXPECT_TRUE(variantToWmiValue(*v, CIM_STRING).isNull()) << "vt " << empty;
    }
}

TEST(VariantConversion, AStringEndsAtItsFirstNul) {
    // Some providers pad strings with NULs up to their allocated length.
    Variant v;
    v->vt = VT_BSTR;
    v->bstrVal = bstr(std::wstring(L"Win32_LogicalDisk.DeviceId=\"C:\"\0\0\0\0", 36));
    ASSERT_EQ(::SysStringLen(v->bstrVal), 36U);
    EXPECT_EQ(textOf(*v, CIM_STRING), "Win32_LogicalDisk.DeviceId=\"C:\"");
}

TEST(VariantConversion, TypesWmiDoesNotDeliverGiveNull) {
    for (VARTYPE vt : {VT_UNKNOWN, VT_DISPATCH, VT_DATE, VT_CY, VT_ERROR}) {
        Variant v;
        v->vt = vt;
        v->llVal = 0;
        EXPECT_TRUE(variantToWmiValue(*v, CIM_OBJECT).isNull()) << "vt " << vt;
    }
}

TEST(VariantConversion, RealsUseTheUsersDecimalSeparator) {
    const std::string separator = windows::userDecimalSeparator();
    Variant v;
    v->vt = VT_R8;
    v->dblVal = 1.5;
    EXPECT_EQ(textOf(*v, CIM_REAL64), "1" + separator + "5");
    v->vt = VT_R4;
    v->fltVal = 0.25F;
    EXPECT_EQ(textOf(*v, CIM_REAL32), "0" + separator + "25");
}

TEST(VariantConversion, StringArraysJoinWithoutALeadingSeparator) {
    struct Case {
        std::vector<std::wstring> items;
        LONG lowerBound;
        const char* text;
    };
    for (const Case& c :
         {Case{{L"a", L"b"}, 0, "a, b"}, Case{{L"", L"b"}, 0, "b"},
          Case{{L"", L"", L"c", L"d"}, 0, "c, d"}, Case{{L"a", L"", L"c"}, 0, "a, , c"},
          Case{{L"x", L"y"}, 3, "x, y"}, Case{{}, 0, ""}}) {
        Variant v;
        v->vt = VT_ARRAY | VT_BSTR;
        v->parray = bstrArray(c.items, c.lowerBound);
        const WmiValue value = variantToWmiValue(*v, CIM_STRING | CIM_FLAG_ARRAY);
        const auto* array = std::get_if<WmiArray>(&value.data);
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(array->size(), c.items.size());
        EXPECT_EQ(wmiValueText(value), c.text);
    }
}

TEST(VariantConversion, IntegerArraysKeepTheCimSignedness) {
    Variant v;
    v->vt = VT_ARRAY | VT_I4;
    v->parray = makeArray(VT_I4, 0, 3, [](SAFEARRAY* a, LONG index, ULONG i) {
        LONG values[] = {-1, 7, -2};
        ::SafeArrayPutElement(a, &index, &values[i]);
    });
    EXPECT_EQ(textOf(*v, CIM_UINT32 | CIM_FLAG_ARRAY), "4294967295, 7, 4294967294");
    EXPECT_EQ(textOf(*v, CIM_SINT32 | CIM_FLAG_ARRAY), "-1, 7, -2");
}

TEST(VariantConversion, BooleanAndVariantArrays) {
    {
        Variant v;
        v->vt = VT_ARRAY | VT_BOOL;
        v->parray = makeArray(VT_BOOL, 0, 2, [](SAFEARRAY* a, LONG index, ULONG i) {
            VARIANT_BOOL b = i == 0 ? VARIANT_TRUE : VARIANT_FALSE;
            ::SafeArrayPutElement(a, &index, &b);
        });
        EXPECT_EQ(textOf(*v, CIM_BOOLEAN | CIM_FLAG_ARRAY), "True, False");
    }
    {
        Variant v;
        v->vt = VT_ARRAY | VT_VARIANT;
        v->parray = makeArray(VT_VARIANT, 0, 3, [](SAFEARRAY* a, LONG index, ULONG i) {
            Variant element;
            if (i == 0) {
                element->vt = VT_BSTR;
                element->bstrVal = bstr(L"x");
            } else if (i == 1) {
                element->vt = VT_I4;
                element->lVal = 3;
            } else {
                element->vt = VT_NULL;
            }
            ::SafeArrayPutElement(a, &index, &*element);  // copies the variant
        });
        const WmiValue value = variantToWmiValue(*v, CIM_EMPTY);
        const auto* array = std::get_if<WmiArray>(&value.data);
        ASSERT_NE(array, nullptr);
        ASSERT_EQ(array->size(), 3U);
        EXPECT_TRUE((*array)[2].isNull());
        EXPECT_EQ(wmiValueText(value), "x, 3, ");
    }
}

TEST(VariantConversion, ByteArraysBecomeBytesFromTheFirstElement) {
    for (LONG lowerBound : {0, 5}) {
        Variant v;
        v->vt = VT_ARRAY | VT_UI1;
        v->parray = makeArray(VT_UI1, lowerBound, 4, [](SAFEARRAY* a, LONG index, ULONG i) {
            BYTE values[] = {0x00, 0x01, 0x7F, 0xFF};
            ::SafeArrayPutElement(a, &index, &values[i]);
        });
        const WmiValue value = variantToWmiValue(*v, CIM_UINT8 | CIM_FLAG_ARRAY);
        const auto* bytes = std::get_if<WmiBytes>(&value.data);
        ASSERT_NE(bytes, nullptr) << "lower bound " << lowerBound;
        EXPECT_EQ(*bytes, (WmiBytes{0x00, 0x01, 0x7F, 0xFF}));
    }
    {
        // A whole SMBIOS table's worth of bytes.
        Variant v;
        v->vt = VT_ARRAY | VT_UI1;
        v->parray = ::SafeArrayCreateVector(VT_UI1, 0, 70000);
        void* data = nullptr;
        ASSERT_HRESULT_SUCCEEDED(::SafeArrayAccessData(v->parray, &data));
        for (ULONG i = 0; i < 70000; ++i) static_cast<BYTE*>(data)[i] = static_cast<BYTE>(i * 7);
        ::SafeArrayUnaccessData(v->parray);
        const WmiValue value = variantToWmiValue(*v, CIM_UINT8 | CIM_FLAG_ARRAY);
        const auto* bytes = std::get_if<WmiBytes>(&value.data);
        ASSERT_NE(bytes, nullptr);
        ASSERT_EQ(bytes->size(), 70000U);
        EXPECT_EQ((*bytes)[69999], static_cast<std::uint8_t>(69999 * 7));
    }
}

TEST(VariantConversion, MalformedArraysGiveEmptyValues) {
    {
        // The variant claims strings, the array holds integers.
        Variant v;
        v->vt = VT_ARRAY | VT_BSTR;
        v->parray = ::SafeArrayCreateVector(VT_I4, 0, 3);
        const WmiValue value = variantToWmiValue(*v, CIM_STRING | CIM_FLAG_ARRAY);
        EXPECT_EQ(wmiValueText(value), "");
    }
    {
        // Two dimensions: WMI never delivers them.
        SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
        Variant v;
        v->vt = VT_ARRAY | VT_I4;
        v->parray = ::SafeArrayCreate(VT_I4, 2, bounds);
        EXPECT_EQ(wmiValueText(variantToWmiValue(*v, CIM_SINT32 | CIM_FLAG_ARRAY)), "");
    }
    {
        Variant v;  // no array at all
        v->vt = VT_ARRAY | VT_UI1;
        v->parray = nullptr;
        const WmiValue value = variantToWmiValue(*v, CIM_UINT8 | CIM_FLAG_ARRAY);
        const auto* bytes = std::get_if<WmiBytes>(&value.data);
        ASSERT_NE(bytes, nullptr);
        EXPECT_TRUE(bytes->empty());
    }
    {
        // Arrays of embedded objects are not read.
        Variant v;
        v->vt = VT_ARRAY | VT_UNKNOWN;
        v->parray = ::SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
        EXPECT_EQ(wmiValueText(variantToWmiValue(*v, CIM_OBJECT | CIM_FLAG_ARRAY)), "");
    }
}

}  // namespace
}  // namespace gravelin::testing
