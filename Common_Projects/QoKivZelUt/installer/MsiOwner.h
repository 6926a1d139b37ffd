// The Installer keeps one external record handler per process. This records
// which product object it calls, so an object never leaves the Installer
// holding a pointer to it after it is gone.
#pragma once

#include <windows.h>

#include <msi.h>

#include <atomic>
#include <mutex>
#include <set>

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

// The Installer's log is the process's as well: a product object switches it
// off when it goes only while the log is its own, not a later product's.
class MsiLogOwner {
public:
    static void take(const ZelMsiProduct* product) { owner() = product; }

    static void release(const ZelMsiProduct* product)
    {
        const ZelMsiProduct* expected = product;
        if (owner().compare_exchange_strong(expected, nullptr))
            ::MsiEnableLogW(0, nullptr, 0);
    }

private:
    static std::atomic<const ZelMsiProduct*>& owner()
    {
        static std::atomic<const ZelMsiProduct*> current{nullptr};
        return current;
    }
};

// The Installer's internal user-interface level is the process's too: the
// level the caller had is put back when the last product object that set one
// is gone.
class MsiUiLevelHolder {
public:
    static void set(const ZelMsiProduct* product, INSTALLUILEVEL level)
    {
        std::lock_guard<std::mutex> hold(state().lock);
        INSTALLUILEVEL previous = ::MsiSetInternalUI(level, nullptr);
        if (state().products.empty())
            state().callers = previous;
        state().products.insert(product);
    }

    static void release(const ZelMsiProduct* product)
    {
        std::lock_guard<std::mutex> hold(state().lock);
        if (state().products.erase(product) && state().products.empty())
            ::MsiSetInternalUI(state().callers, nullptr);
    }

private:
    struct State {
        std::mutex lock;
        std::set<const ZelMsiProduct*> products;
        INSTALLUILEVEL callers = INSTALLUILEVEL_NOCHANGE;
    };
    static State& state()
    {
        static State current;
        return current;
    }
};

} // namespace detail
} // namespace ZelUt
