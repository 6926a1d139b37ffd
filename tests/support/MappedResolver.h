// A resolver of UNC paths for the suites: the path on any share maps below one
// local directory; with no directory it answers the UNC path itself.
#pragma once

#include <QoKivZelUt/ZelPath.h>

#include <memory>

namespace qkztest {

class MappedResolver : public CZelPath {
public:
    explicit MappedResolver(WinPath root) : m_root(std::move(root)) {}

private:
    WinPath getLocalPathFromUNC(const WinPath& path) const override
    {
        return m_root.empty() ? path : m_root / path.getPathOnShare();
    }
    WinPath m_root;
};

// A MappedResolver in place while it lives; the system's lookup afterwards.
struct ResolverScope {
    explicit ResolverScope(WinPath root) { CZelPath::replaceResolver(std::make_shared<MappedResolver>(std::move(root))); }
    ~ResolverScope() { CZelPath::replaceResolver(nullptr); }
    ResolverScope(const ResolverScope&) = delete;
    ResolverScope& operator=(const ResolverScope&) = delete;
};

} // namespace qkztest
