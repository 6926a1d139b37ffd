// The Installer keeps one external record handler per process. This records
// which product object it calls, so an object never leaves the Installer
// holding a pointer to it after it is gone.
#pragma once

#include <windows.h>

#include <msi.h>

#include <atomic>

class ZelMsiProduct;

namespace ZelUt {
namespace detail {

class MsiHandlerOwner {
public:
    static void take(ZelMsiProduct* product, INSTALLUI_HANDLER_RECORD handler, DWORD filter)
    {
        ::MsiSetExternalUIRecord(handler, filter, product, nullptr);
        owner() = product;
    }

    static void release(ZelMsiProduct* product)
    {
        ZelMsiProduct* expected = product;
        if (owner().compare_exchange_strong(expected, nullptr))
            ::MsiSetExternalUIRecord(nullptr, 0, nullptr, nullptr);
    }

private:
    static std::atomic<ZelMsiProduct*>& owner()
    {
        static std::atomic<ZelMsiProduct*> current{nullptr};
        return current;
    }
};

} // namespace detail
} // namespace ZelUt
