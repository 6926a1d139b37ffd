// CKIVSetupXmlCommunicator: a flat name/value set carried as one XML document
// <KIVSetupData><name>value</name>...</KIVSetupData>. Uses the system's XML DOM;
// the calling thread must have initialised COM.
#pragma once

#include "Export.h"

#include <map>
#include <string>

class QOKIVZELUT_API CKIVSetupXmlCommunicator {
public:
    CKIVSetupXmlCommunicator() = default;
    CKIVSetupXmlCommunicator(const CKIVSetupXmlCommunicator&) = default;
    CKIVSetupXmlCommunicator(CKIVSetupXmlCommunicator&&) = default;
    CKIVSetupXmlCommunicator& operator=(const CKIVSetupXmlCommunicator&) = default;
    CKIVSetupXmlCommunicator& operator=(CKIVSetupXmlCommunicator&&) = default;
    ~CKIVSetupXmlCommunicator() = default;

    // Inserts the entry unless the name (in any case) is present already.
    void setValue(const std::wstring& name, const std::wstring& value);
    // The value under the name (any case), or empty.
    std::wstring getValue(const std::wstring& name) const;
    // The document text; empty when it cannot be built.
    std::wstring toString() const;
    // Adds the entries of a document; true when the set then holds any entry.
    bool readXml(const std::wstring& text);

    struct NoCaseLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const;
    };

private:
    std::map<std::wstring, std::wstring, NoCaseLess> m_values;
};
