// What a condition asks outside itself: the caller's answers and the file
// system. The evaluator is pure; an Environment answers for it.
#pragma once

#include "values/GuidText.h"
#include "values/VersionText.h"

#include <string>
#include <vector>

namespace ZelUt {
namespace condition {

class Environment {
public:
    enum class ProductQuery {
        Available,
        AvailableOnServer,
        Installed,
        PartAvailable,
        PartAvailableOnServer,
        PartInstalled,
    };

    // The answer for a %name% or %%name%% reference (percent signs included).
    virtual std::wstring expandSymbol(const std::wstring& reference) = 0;
    virtual bool productState(ProductQuery query, const GuidFields& product) = 0;
    virtual ProductVersionValue productVersion(const GuidFields& product) = 0;
    // The version of a file named without a full path.
    virtual FileVersionValue queryFileVersion(const std::wstring& name) = 0;

    // Absolute, and free of the characters a path may not hold.
    virtual bool isFullPath(const std::wstring& symbol) = 0;
    virtual bool pathExists(const std::wstring& path) = 0;
    // Invalid when missing or unreadable, 0.0.0.0 for a directory.
    virtual FileVersionValue fullPathVersion(const std::wstring& path) = 0;
    // The lines of a text file (without their line ends); false when it cannot be read.
    virtual bool readLines(const std::wstring& path, std::vector<std::wstring>& lines) = 0;

protected:
    ~Environment() = default;
};

} // namespace condition
} // namespace ZelUt
