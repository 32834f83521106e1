// Small owners for COM and OLE Automation resources: each releases what it holds when it
// goes out of scope, on every path.
#pragma once

#include <windows.h>
// After windows.h:
#include <oleauto.h>

#include <utility>

namespace gravelin::windows {

// One reference to a COM interface.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T* adopted) : p_(adopted) {}
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Releases the current reference and hands out the slot for a call to fill.
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};

// A VARIANT, cleared on destruction.
class ScopedVariant {
public:
    ScopedVariant() { ::VariantInit(&v_); }
    ~ScopedVariant() { ::VariantClear(&v_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    VARIANT* get() { return &v_; }
    const VARIANT& operator*() const { return v_; }

private:
    VARIANT v_;
};

// A BSTR, freed on destruction.
class ScopedBstr {
public:
    ScopedBstr() = default;
    explicit ScopedBstr(const wchar_t* text) : s_(::SysAllocString(text)) {}
    ~ScopedBstr() { ::SysFreeString(s_); }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;

    BSTR get() const { return s_; }
    BSTR* put() {
        ::SysFreeString(s_);
        s_ = nullptr;
        return &s_;
    }

private:
    BSTR s_ = nullptr;
};

// A SAFEARRAY, destroyed on destruction.
class ScopedSafeArray {
public:
    ScopedSafeArray() = default;
    explicit ScopedSafeArray(SAFEARRAY* adopted) : a_(adopted) {}
    ~ScopedSafeArray() {
        if (a_ != nullptr) ::SafeArrayDestroy(a_);
    }
    ScopedSafeArray(const ScopedSafeArray&) = delete;
    ScopedSafeArray& operator=(const ScopedSafeArray&) = delete;

    SAFEARRAY* get() const { return a_; }
    SAFEARRAY** put() {
        if (a_ != nullptr) ::SafeArrayDestroy(a_);
        a_ = nullptr;
        return &a_;
    }
    SAFEARRAY* release() { return std::exchange(a_, nullptr); }

private:
    SAFEARRAY* a_ = nullptr;
};

// A registry key handle, closed on destruction.
class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() {
        if (k_ != nullptr) ::RegCloseKey(k_);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    HKEY get() const { return k_; }
    HKEY* put() {
        if (k_ != nullptr) ::RegCloseKey(k_);
        k_ = nullptr;
        return &k_;
    }

private:
    HKEY k_ = nullptr;
};

// A kernel handle, closed on destruction.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE adopted) : h_(adopted) {}
    ~ScopedHandle() {
        if (valid()) ::CloseHandle(h_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace gravelin::windows
