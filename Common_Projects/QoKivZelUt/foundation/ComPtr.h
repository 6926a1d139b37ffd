// Owning pointer to a COM interface: releases on destruction.
#pragma once

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

} // namespace detail
} // namespace ZelUt
