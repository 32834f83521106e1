// Reading one WMI object through IWbemClassObject, with a scripted object in WMI's place.
#include <gmock/gmock.h>

#include <functional>
#include <map>

#include "WindowsTesting.h"
#include "scanner/platform/windows/WindowsWmi.h"

namespace gravelin::testing {
namespace {

using windows::kGetNamesFallbackFlags;
using windows::kGetNamesFlags;
using windows::readWmiObject;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80041002UL);  // WBEM_E_NOT_FOUND
constexpr HRESULT kInvalidParameter =
    static_cast<HRESULT>(0x80041008UL);  // WBEM_E_INVALID_PARAMETER

// COM interfaces are released, never deleted through a base pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// An object with a class name and properties; GetNames refuses the flag values listed in
// `refusedFlags`, and Get fails for the names listed in `unreadable`.
class ScriptedObject final : public IWbemClassObject {
public:
    struct Property {
        std::wstring name;
        std::function<void(VARIANT&)> value;
        CIMTYPE type;
    };

    std::wstring className = L"Win32_Test";
    std::vector<Property> properties;
    std::vector<LONG> refusedFlags;
    std::vector<std::wstring> unreadable;  // listed by GetNames, but Get fails
    LONG namesLowerBound = 0;
    bool namesAsIntegers = false;  // a names array of the wrong element type

    std::vector<LONG> getNamesCalls;
    std::vector<std::wstring> getCalls;

    // IUnknown: the object lives on the test's stack.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type,
                                  LONG*) override {
        getCalls.emplace_back(name);
        if (std::wstring(name) == L"__CLASS") {
            value->vt = VT_BSTR;
            value->bstrVal = bstr(className);
            if (type) *type = CIM_STRING;
            return WBEM_S_NO_ERROR;
        }
        for (const auto& p : properties) {
            if (p.name != name) continue;
            p.value(*value);
            if (type) *type = p.type;
            return WBEM_S_NO_ERROR;
        }
        return kNotFound;
    }

    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR qualifier, LONG flags, VARIANT* qualifierValue,
                                       SAFEARRAY** names) override {
        getNamesCalls.push_back(flags);
        EXPECT_EQ(qualifier, nullptr);
        EXPECT_EQ(qualifierValue, nullptr);
        for (LONG refused : refusedFlags) {
            if (flags == refused) return kInvalidParameter;
        }
        if (namesAsIntegers) {
            *names = ::SafeArrayCreateVector(VT_I4, 0, 2);
            return WBEM_S_NO_ERROR;
        }
        std::vector<std::wstring> list;
        for (const auto& p : properties) list.push_back(p.name);
        for (const auto& n : unreadable) list.push_back(n);
        *names = bstrArray(list, namesLowerBound);
        return WBEM_S_NO_ERROR;
    }

    // Not used by the reader.
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                        IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                        IWbemClassObject*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                         IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
};

#pragma GCC diagnostic pop

ScriptedObject::Property text(std::wstring name, std::wstring value) {
    return {std::move(name),
            [value](VARIANT& v) {
                v.vt = VT_BSTR;
                v.bstrVal = bstr(value);
            },
            CIM_STRING};
}

ScriptedObject::Property uint32(std::wstring name, LONG bits) {
    return {std::move(name),
            [bits](VARIANT& v) {
                v.vt = VT_I4;  // how WMI hands a CIM uint32 over
                v.lVal = bits;
            },
            CIM_UINT32};
}

ScriptedObject::Property null(std::wstring name) {
    return {std::move(name), [](VARIANT& v) { v.vt = VT_NULL; }, CIM_STRING};
}

using Attributes = std::vector<std::pair<std::string, std::string>>;

Attributes attributesOf(const WmiObject& object) {
    Attributes out;
    for (const auto& [name, value] : object.properties) out.emplace_back(name, wmiValueText(value));
    return out;
}

ScriptedObject board() {
    ScriptedObject object;
    object.className = L"Win32_BaseBoard";
    object.properties = {text(L"Manufacturer", L"ACME"), uint32(L"ConfigOptions", -1),
                         null(L"Model"), text(L"Product", L"X1")};
    return object;
}

const Attributes kBoardAttributes = {
    {"Manufacturer", "ACME"}, {"ConfigOptions", "4294967295"}, {"Model", ""}, {"Product", "X1"}};

TEST(WmiObject, PropertiesFollowTheNamesArrayWithTheClassName) {
    ScriptedObject object = board();
    const WmiObject read = readWmiObject(object);
    EXPECT_EQ(read.className, "Win32_BaseBoard");
    EXPECT_EQ(attributesOf(read), kBoardAttributes);
    EXPECT_EQ(object.getNamesCalls, (std::vector<LONG>{kGetNamesFlags}));
    ASSERT_FALSE(object.getCalls.empty());
    EXPECT_EQ(object.getCalls.front(), L"__CLASS");
}

TEST(WmiObject, RefusedGetNamesFlagsAreAskedAgainAsNonSystemOnly) {
    // Windows may refuse 0x70 (two origin conditions at once): the object must not lose
    // its properties for that.
    ScriptedObject object = board();
    object.refusedFlags = {kGetNamesFlags};
    const WmiObject read = readWmiObject(object);
    EXPECT_EQ(object.getNamesCalls, (std::vector<LONG>{0x70, 0x40}));
    EXPECT_EQ(read.className, "Win32_BaseBoard");
    EXPECT_EQ(attributesOf(read), kBoardAttributes);
}

TEST(WmiObject, WhenBothGetNamesCallsFailTheObjectHasNoProperties) {
    ScriptedObject object = board();
    object.refusedFlags = {kGetNamesFlags, kGetNamesFallbackFlags};
    const WmiObject read = readWmiObject(object);
    EXPECT_EQ(object.getNamesCalls, (std::vector<LONG>{0x70, 0x40}));
    EXPECT_EQ(read.className, "Win32_BaseBoard");
    EXPECT_TRUE(read.properties.empty());
}

TEST(WmiObject, ANameWhoseReadFailsIsLeftOut) {
    ScriptedObject object = board();
    object.unreadable = {L"Vanished"};
    object.properties.insert(object.properties.begin() + 1, text(L"SerialNumber", L"S/N 1"));
    const WmiObject read = readWmiObject(object);
    EXPECT_EQ(attributesOf(read), (Attributes{{"Manufacturer", "ACME"},
                                              {"SerialNumber", "S/N 1"},
                                              {"ConfigOptions", "4294967295"},
                                              {"Model", ""},
                                              {"Product", "X1"}}));
    EXPECT_NE(std::find(object.getCalls.begin(), object.getCalls.end(), L"Vanished"),
              object.getCalls.end());
}

TEST(WmiObject, NamesArraysAreReadFromTheirLowerToTheirUpperBound) {
    ScriptedObject object = board();
    object.namesLowerBound = 7;
    EXPECT_EQ(attributesOf(readWmiObject(object)), kBoardAttributes);
}

TEST(WmiObject, ANamesArrayOfTheWrongTypeGivesNoProperties) {
    ScriptedObject object = board();
    object.namesAsIntegers = true;
    const WmiObject read = readWmiObject(object);
    EXPECT_EQ(read.className, "Win32_BaseBoard");
    EXPECT_TRUE(read.properties.empty());
}

TEST(WmiObject, PropertyAndClassNamesBecomeUtf8) {
    ScriptedObject object;
    object.className = L"Win32_Gr\u00f6\u00dfe";
    object.properties = {text(L"Ma\u00df", L"\u2122")};
    const WmiObject read = readWmiObject(object);
    EXPECT_EQ(read.className, "Win32_Gr\u00f6\u00dfe");
    EXPECT_EQ(attributesOf(read), (Attributes{{"Ma\u00df", "\u2122"}}));
}

}  // namespace
}  // namespace gravelin::testing
