#pragma once

#include <windows.h>

#include <initializer_list>
#include <memory>
#include <vector>

namespace ZelUt {
namespace detail {

// Lets a child inherit the handles given and none other of this process: a
// handle another thread has made inheritable for its own child, or one the
// caller made so, stays here. Start the child with kCreationFlag and the
// start-up block given, while this object lives.
class InheritOnly {
public:
    static const DWORD kCreationFlag = EXTENDED_STARTUPINFO_PRESENT;

    InheritOnly(STARTUPINFOEXW& startup, std::initializer_list<HANDLE> handles);
    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;

private:
    struct DeleteList {
        void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const;
    };

    std::vector<HANDLE> m_handles;  // read by the system when the child starts
    std::vector<unsigned char> m_buffer;
    std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, DeleteList> m_list;  // deleted before its buffer
};

} // namespace detail
} // namespace ZelUt
