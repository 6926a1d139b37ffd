// The Installer's record handler, log and user-interface level are the
// process's, not a product object's: these records say which object set them,
// so that one going away neither leaves the Installer with a pointer to it nor
// undoes what another product set.
#pragma once

#include <windows.h>

#include <msi.h>

#include <atomic>
#include <mutex>
#include <set>

class ZelMsiProduct;

namespace ZelUt {
namespace detail {

// Which product object a piece of the Installer's process-wide state was last
// set for; one record per `Tag`.
template <class Tag>
class MsiStateOwner {
public:
    static void take(const ZelMsiProduct* product) { owner() = product; }

    // True when the state was `product`'s: it is nobody's now, and the caller
    // undoes it.
    static bool release(const ZelMsiProduct* product)
    {
        const ZelMsiProduct* expected = product;
        return owner().compare_exchange_strong(expected, nullptr);
    }

private:
    static std::atomic<const ZelMsiProduct*>& owner()
    {
        static std::atomic<const ZelMsiProduct*> current{nullptr};
        return current;
    }
};

// The Installer keeps one external record handler per process: an object never
// leaves it holding a pointer to it after it is gone.
class MsiHandlerOwner {
public:
    static void take(ZelMsiProduct* product, INSTALLUI_HANDLER_RECORD handler, DWORD filter)
    {
        ::MsiSetExternalUIRecord(handler, filter, product, nullptr);
        MsiStateOwner<MsiHandlerOwner>::take(product);
    }

    static void release(const ZelMsiProduct* product)
    {
        if (MsiStateOwner<MsiHandlerOwner>::release(product))
            ::MsiSetExternalUIRecord(nullptr, 0, nullptr, nullptr);
    }
};

// The Installer's log is the process's as well: a product object switches it
// off when it goes only while the log is its own, not a later product's.
class MsiLogOwner {
public:
    static void take(const ZelMsiProduct* product) { MsiStateOwner<MsiLogOwner>::take(product); }

    static void release(const ZelMsiProduct* product)
    {
        if (MsiStateOwner<MsiLogOwner>::release(product))
            ::MsiEnableLogW(0, nullptr, 0);
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
