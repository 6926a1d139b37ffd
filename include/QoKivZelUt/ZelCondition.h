// ZelCondition: parses and evaluates one install condition in one pass.
#pragma once

#include "Export.h"
#include "Guid.h"
#include "ProductVersion.h"

#include <mutex>
#include <string>

// A four-part file version; a part of 0xFFFF is "not set".
struct QOKIVZELUT_API FileVersionNumber {
    FileVersionNumber();
    FileVersionNumber(unsigned short major, unsigned short minor, unsigned short build, unsigned short revision);

    // True when all four parts are below 0xFFFF.
    bool isValid() const;
    // Three-way: invalid versions are equal to each other and less than every valid one.
    int compare(const FileVersionNumber& other) const;

    unsigned short major, minor, build, revision;
    std::wstring text;  // not part of any comparison
};

// Answers what the evaluator cannot know itself. Implemented by the caller.
class IZelConditionCallback {
public:
    virtual ~IZelConditionCallback() {}
    // The answer for a %name% or %%name%% reference (percent signs included).
    virtual std::wstring expandSymbol(const std::wstring& reference) = 0;
    virtual bool isProductAvailable(const CGuid& product) = 0;
    virtual bool isProductAvailableOnServer(const CGuid& product) = 0;
    virtual KivSetup::ProductVersion getProductVersion(const CGuid& product) = 0;
    virtual bool isProductInstalled(const CGuid& product) = 0;
    // The version of a file named without a full path.
    virtual FileVersionNumber queryFileVersion(const std::wstring& name) = 0;
    virtual bool isProductPartAvailable(const CGuid& part) = 0;
    virtual bool isProductPartAvailableOnServer(const CGuid& part) = 0;
    virtual bool isProductPartInstalled(const CGuid& part) = 0;
};

// One evaluation at a time in the process: the constructor waits for m_cs and
// the destructor releases it. A thread that already holds an evaluator gets a
// CZelException instead of a deadlock.
class QOKIVZELUT_API ZelCondition {
public:
    ZelCondition(const std::wstring& expression, IZelConditionCallback* callback);
    ~ZelCondition();
    ZelCondition(const ZelCondition&) = delete;
    ZelCondition& operator=(const ZelCondition&) = delete;

    // True when the whole condition was accepted. Callback exceptions pass through.
    bool parse() const;
    // Logs and returns the result; false unless parse() succeeded.
    bool getResult() const;
    // "Error in expression '...' at posistion N '...<-here ...': message", or empty.
    std::wstring getErrorMessage() const;

    static std::mutex m_cs;

private:
    std::unique_lock<std::mutex> m_hold;
};
