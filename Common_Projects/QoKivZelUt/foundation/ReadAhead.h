// Reads a file block by block on a second thread, one block ahead of the
// caller, so that the caller's work on a block and the read of the next overlap.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ZelUt {
namespace detail {

class ReadAhead {
public:
    ReadAhead(HANDLE file, size_t blockSize)
        : m_file(file), m_blocks{Block(blockSize), Block(blockSize)}, m_reader([this] { readBlocks(); })
    {
    }
    ~ReadAhead()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_reader.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next block (size 0 at the end of the file); the previous one is given
    // back. False, with the last error set, when the read failed.
    bool next(const unsigned char*& data, DWORD& size)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_taken) {
            ++m_consumed;
            m_changed.notify_all();
        }
        m_changed.wait(lock, [this] { return m_produced > m_consumed; });
        m_taken = true;
        const Block& block = m_blocks[m_consumed % 2];
        if (!block.ok) {
            SetLastError(block.error);
            return false;
        }
        data = block.data.data();
        size = block.size;
        return true;
    }

private:
    struct Block {
        explicit Block(size_t size) : data(size) {}
        std::vector<unsigned char> data;
        DWORD size = 0;
        bool ok = true;
        DWORD error = 0;
    };

    void readBlocks()
    {
        for (unsigned long long n = 0;; ++n) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stop || n - m_consumed < 2; });
                if (m_stop)
                    return;
            }
            Block& block = m_blocks[n % 2];
            block.ok = ReadFile(m_file, block.data.data(), static_cast<DWORD>(block.data.size()), &block.size,
                                nullptr) != FALSE;
            block.error = block.ok ? 0 : GetLastError();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_produced;
            }
            m_changed.notify_all();
            if (!block.ok || block.size == 0)
                return;
        }
    }

    HANDLE m_file;
    Block m_blocks[2];
    std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned long long m_produced = 0;
    unsigned long long m_consumed = 0;
    bool m_taken = false;
    bool m_stop = false;
    std::thread m_reader;  // last: starts once everything it uses exists
};

} // namespace detail
} // namespace ZelUt
