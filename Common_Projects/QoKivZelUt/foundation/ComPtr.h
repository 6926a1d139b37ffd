// Owning pointer to a COM interface, and COM initialisation for a scope.
#pragma once

#include <objbase.h>
#include <unknwn.h>

#include <utility>

namespace ZelUt {
namespace detail {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { reset(); }

    void reset()
    {
        if (m_p)
            m_p->Release();
        m_p = nullptr;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out-parameters: releases what is held first.
    T** put()
    {
        reset();
        return &m_p;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

private:
    T* m_p = nullptr;
};

// COM is usable on the calling thread while this lives. A thread that already
// initialised COM, in either apartment model, keeps what it had; one that had
// not is initialised as a single-threaded apartment and uninitialised again.
class ComApartment {
public:
    ComApartment() : m_initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment()
    {
        if (m_initialised)
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool m_initialised;
};

} // namespace detail
} // namespace ZelUt
