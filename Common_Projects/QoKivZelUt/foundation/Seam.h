// One place where an area's system calls can be stood in for. Only the calls a
// test system cannot answer truthfully (other computers, sessions, shares,
// account rights, local groups) go behind such an interface; the system's own
// implementation answers unless a test put its own in front. The interfaces
// and their replacement hooks live in headers of the build, not in the
// installed ones: callers of the library never see them.
#pragma once

#include <atomic>

namespace ZelUt {
namespace detail {

template <class Api>
class Seam {
public:
    static Api& current()
    {
        Api* replacement = slot().load(std::memory_order_acquire);
        return replacement ? *replacement : system();
    }
    // Puts `api` in front (null: the system's again); returns what was there.
    static Api* replace(Api* api) { return slot().exchange(api, std::memory_order_acq_rel); }

private:
    static std::atomic<Api*>& slot()
    {
        static std::atomic<Api*> replacement{nullptr};
        return replacement;
    }
    static Api& system()
    {
        static Api own;
        return own;
    }
};

} // namespace detail
} // namespace ZelUt
