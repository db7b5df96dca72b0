// Small owners for Windows resources used by tests and host tooling.
#pragma once

#include <windows.h>

#include <utility>

// Owns a kernel handle; valid means neither null nor INVALID_HANDLE_VALUE.
class WinHandle {
public:
    WinHandle() = default;
    explicit WinHandle(HANDLE handle) : m_handle(handle) {}
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    WinHandle(WinHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    WinHandle& operator=(WinHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    ~WinHandle() { reset(); }

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(m_handle, nullptr); }
    void reset(HANDLE handle = nullptr) {
        if (valid()) CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

// Owns a module loaded with LoadLibrary.
class ModuleHandle {
public:
    ModuleHandle() = default;
    explicit ModuleHandle(HMODULE module) : m_module(module) {}
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;
    ModuleHandle(ModuleHandle&& other) noexcept : m_module(std::exchange(other.m_module, nullptr)) {}
    ModuleHandle& operator=(ModuleHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_module, nullptr));
        return *this;
    }
    ~ModuleHandle() { reset(); }

    HMODULE get() const { return m_module; }
    void reset(HMODULE module = nullptr) {
        if (m_module) FreeLibrary(m_module);
        m_module = module;
    }

private:
    HMODULE m_module = nullptr;
};
