// Metadata roots built from the table schema of the CLI standard (written out
// here on its own, not taken from the reader): every table populated before and
// after the two the reader needs, narrow and wide indexes, the compressed and
// the uncompressed tables stream, and all three blob length forms.
#include "TestEnv.h"

#include "Metadata.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

// Per table, its columns: 1/2/4 fixed bytes, S/G/B a heap index, #N an index
// into table N (hex), two letters a coded index.
const char* const kSchema[] = {
    "2 S G G G", "RS S S", "4 S S TD #4 #6", "#4", "2 S B", "#6", "4 2 2 S B #8", "#8", "2 2 S", "#2 TD",
    "MP S B", "2 HC B", "CA CT B", "FM B", "2 DS B", "2 4 #2", "4 #4", "B", "#2 #14", "#14", "2 S TD",
    "#2 #17", "#17", "2 S B", "2 #6 SE", "#2 MD MD", "S", "B", "2 MF S #1A", "4 #4", "4 4", "4",
    "4 2 2 2 2 4 B S S", "4", "4 4 4", "2 2 2 2 4 B S S B", "4 #23", "4 4 4 #23", "4 S B", "4 4 S S IM",
    "4 4 S IM", "#2 #2", "2 2 TM S", "MD B", "#2A TD"};
const unsigned kTables = sizeof kSchema / sizeof kSchema[0];
const unsigned kAssembly = 0x20, kAssemblyRef = 0x23;

struct Coded {
    unsigned tagBits;
    std::vector<unsigned> tables;
};
const std::map<std::string, Coded> kCoded = {
    {"TD", {2, {0x02, 0x01, 0x1B}}}, {"HC", {2, {0x04, 0x08, 0x17}}},
    {"CA", {5, {0x06, 0x04, 0x01, 0x02, 0x08, 0x09, 0x0A, 0x00, 0x0E, 0x17, 0x14, 0x11, 0x1A, 0x1B, 0x20, 0x23,
                0x26, 0x27, 0x28, 0x2A, 0x2C, 0x2B}}},
    {"FM", {1, {0x04, 0x08}}}, {"DS", {2, {0x02, 0x06, 0x20}}}, {"MP", {3, {0x02, 0x01, 0x1A, 0x06, 0x1B}}},
    {"SE", {1, {0x14, 0x17}}}, {"MD", {1, {0x06, 0x0A}}}, {"MF", {1, {0x04, 0x06}}},
    {"IM", {2, {0x26, 0x23, 0x27}}}, {"CT", {3, {0x06, 0x0A}}}, {"RS", {2, {0x00, 0x1A, 0x23, 0x01}}},
    {"TM", {1, {0x02, 0x06}}}};

struct Shape {
    uint8_t heapSizes;
    bool uncompressed;
    uint32_t rowsOfEach;
    std::map<unsigned, uint32_t> rows;  // tables with other counts
    size_t keyLength;
};

class RootBuilder {
public:
    explicit RootBuilder(const Shape& shape) : m_shape(shape)
    {
        for (unsigned t = 0; t < kTables; ++t)
            m_rows[t] = shape.rows.count(t) ? shape.rows.at(t) : shape.rowsOfEach;
        for (unsigned t = 0; t < kTables; ++t) {
            std::istringstream in(kSchema[t]);
            for (std::string c; in >> c;)
                m_widths[t].push_back(width(c));
        }
    }

    std::string root(const std::string& key, const std::string& token, const std::string& extraStream = "")
    {
        const std::string strings = std::string("\0Wide.Assembly\0Dependency\0de-DE\0", 32);
        std::string blobs(1, '\0');
        const size_t keyAt = blobs.size();
        blobs += lengthPrefix(key.size()) + key;
        const size_t tokenAt = blobs.size();
        blobs += lengthPrefix(token.size()) + token;
        std::string tables;
        put(tables, 4, 0);
        put(tables, 4, 2 | m_shape.heapSizes << 16 | 1 << 24);  // version 2.0, heap sizes, reserved 1
        uint64_t valid = 0;
        for (unsigned t = 0; t < kTables; ++t)
            valid |= uint64_t(m_rows[t] != 0) << t;
        put(tables, 8, valid);
        put(tables, 8, 0);
        for (unsigned t = 0; t < kTables; ++t)
            if (m_rows[t])
                put(tables, 4, m_rows[t]);
        if (m_shape.heapSizes & 0x40)
            put(tables, 4, 0xFEEDFACE);
        for (unsigned t = 0; t < kTables; ++t) {
            for (uint32_t r = 0; r < m_rows[t]; ++r) {
                if (t == kAssembly)
                    row(tables, t, {0x8004, 1, 2, 3, 4, 1, keyAt, 1, 0});
                else if (t == kAssemblyRef)
                    row(tables, t, {5, 6, 7, 8u + r, 0, tokenAt, 15, 26, 0});
                else
                    tables.append(rowSize(t), char(0x5A + t + r));
            }
        }
        std::vector<std::pair<std::string, std::string>> streams = {
            {m_shape.uncompressed ? "#-" : "#~", tables}, {"#Strings", strings}, {"#Blob", blobs}};
        if (!extraStream.empty())
            streams.push_back({extraStream, ""});
        return wrap(streams);
    }

private:
    static void put(std::string& out, unsigned width, uint64_t value)
    {
        out.append(reinterpret_cast<const char*>(&value), width);
    }
    static std::string lengthPrefix(size_t n)
    {
        std::string p;
        if (n < 0x80)
            p += char(n);
        else if (n < 0x4000)
            p += {char(0x80 | n >> 8), char(n & 0xFF)};
        else
            p += {char(0xC0 | n >> 24), char(n >> 16 & 0xFF), char(n >> 8 & 0xFF), char(n & 0xFF)};
        return p;
    }
    unsigned width(const std::string& column) const
    {
        if (column == "S" || column == "G" || column == "B")
            return m_shape.heapSizes & (column == "S" ? 1 : column == "G" ? 2 : 4) ? 4 : 2;
        if (column[0] == '#')
            return m_rows[std::stoul(column.substr(1), nullptr, 16)] < 0x10000 ? 2 : 4;
        if (isdigit(column[0]))
            return column[0] - '0';
        const Coded& coded = kCoded.at(column);
        uint32_t largest = 0;
        for (unsigned t : coded.tables)
            largest = std::max(largest, m_rows[t]);
        return largest < (1u << (16 - coded.tagBits)) ? 2 : 4;
    }
    size_t rowSize(unsigned table) const
    {
        size_t size = 0;
        for (unsigned w : m_widths[table])
            size += w;
        return size;
    }
    void row(std::string& out, unsigned table, std::initializer_list<uint64_t> values) const
    {
        auto value = values.begin();
        for (unsigned w : m_widths[table])
            put(out, w, *value++);
    }
    static std::string wrap(const std::vector<std::pair<std::string, std::string>>& streams)
    {
        std::string root, headers, data;
        size_t headersSize = 0;
        for (const auto& s : streams)
            headersSize += 8 + ((s.first.size() + 4) & ~size_t(3));
        const size_t dataAt = 32 + headersSize;  // the root's fixed part and version text, 32 bytes
        for (const auto& s : streams) {
            put(headers, 4, dataAt + data.size());
            put(headers, 4, s.second.size());
            std::string name = s.first;
            name.resize((name.size() + 4) & ~size_t(3), '\0');
            headers += name;
            data += s.second;
            data.resize((data.size() + 3) & ~size_t(3), '\0');
        }
        put(root, 4, 0x424A5342);
        put(root, 4, 0x00010001);
        put(root, 4, 0);
        put(root, 4, 12);
        root += std::string("v4.0.30319\0\0", 12);
        put(root, 2, 0);
        put(root, 2, streams.size());
        return root + headers + data;
    }

    Shape m_shape;
    uint32_t m_rows[kTables] = {};
    std::vector<unsigned> m_widths[kTables];
};

TEST(MetadataTables, EveryTableNarrowWideAndUncompressed)
{
    // The tables indexes point into, numbered from 1: shape b makes those with bit b of
    // their number large, so that no index is taken for another's, with one heap wide.
    const unsigned indexed[] = {0x01, 0x02, 0x04, 0x06, 0x08, 0x14, 0x17, 0x1A, 0x26, 0x2A};
    const uint8_t heapSizes[] = {0x01, 0x02, 0x04, 0x07};
    std::vector<std::pair<std::string, Shape>> shapes = {
        {"narrow, one-byte blob length", {0x00, false, 3, {{kAssembly, 1}, {kAssemblyRef, 2}}, 0x7F}},
        {"uncompressed, two-byte blob length", {0x40, true, 2, {{kAssembly, 1}, {kAssemblyRef, 3}}, 0x3FFF}},
        {"wide heaps, two-byte blob length", {0x07, false, 1, {{kAssemblyRef, 1}}, 0x80}},
    };
    for (unsigned bit = 0; bit < 4; ++bit) {
        Shape shape{heapSizes[bit], false, 1, {{kAssembly, 1}, {kAssemblyRef, 2}}, bit == 3 ? 0x4000u : 0x80u};
        for (unsigned i = 0; i < 10; ++i)
            if ((i + 1) >> bit & 1)
                shape.rows[indexed[i]] = 0x10000;
        shapes.push_back({"large tables of bit " + std::to_string(bit), shape});
    }
    // Every table at each coded index's limit: 2^(16 - tag bits) rows take 4 bytes, half as many 2.
    for (uint32_t rows = 0x400; rows <= 0x10000; rows *= 2)
        shapes.push_back({"every table " + std::to_string(rows) + " rows", {0x00, false, rows, {{kAssembly, 1}, {kAssemblyRef, 1}}, 0x100}});
    for (const auto& named : shapes) {
        SCOPED_TRACE(named.first);
        const Shape& shape = named.second;
        std::string key(shape.keyLength, '\0');
        for (size_t i = 0; i < key.size(); ++i)
            key[i] = char(i * 31 + 7);
        const std::string token = "\x01\x23\x45\x67\x89\xab\xcd\xef";
        RootBuilder builder(shape);
        qkztest::GuardedBytes root(builder.root(key, token));
        dotnetutils::AssemblyMetadata m = dotnetutils::readMetadata(root.data(), root.size());
        ASSERT_TRUE(m.hasAssembly);
        EXPECT_EQ("Wide.Assembly", m.assembly.name);
        EXPECT_EQ((std::vector<uint16_t>{1, 2, 3, 4}), std::vector<uint16_t>(m.assembly.version, m.assembly.version + 4));
        EXPECT_EQ("", m.assembly.culture);
        EXPECT_EQ(key, std::string(m.assembly.publicKeyOrToken.begin(), m.assembly.publicKeyOrToken.end()));
        EXPECT_TRUE(m.assembly.fullPublicKey);
        const uint32_t references = shape.rows.at(kAssemblyRef);
        ASSERT_EQ(references, m.references.size());
        for (uint32_t r = 0; r < references; ++r) {
            const dotnetutils::AssemblyIdentity& ref = m.references[r];
            EXPECT_EQ("Dependency", ref.name);
            EXPECT_EQ("de-DE", ref.culture);
            EXPECT_EQ((std::vector<uint16_t>{5, 6, 7, uint16_t(8 + r)}), std::vector<uint16_t>(ref.version, ref.version + 4));
            EXPECT_EQ(token, std::string(ref.publicKeyOrToken.begin(), ref.publicKeyOrToken.end()));
            EXPECT_FALSE(ref.fullPublicKey);
        }
        // One byte less of the tables stream is damaged metadata, never a read past it.
        std::string bytes(reinterpret_cast<const char*>(root.data()), root.size());
        // the first stream header's size
        qkztest::GuardedBytes cut(qkztest::patched(bytes, 36, qkztest::fieldAt<uint32_t>(bytes, 36) - 1));
        EXPECT_THROW(dotnetutils::readMetadata(cut.data(), cut.size()), dotnetutils::MetadataError);
    }
}

// A stream name has at most 32 characters; a longer one is damaged metadata.
TEST(MetadataTables, StreamNamesOfAtMost32Characters)
{
    RootBuilder builder({0x00, false, 1, {{kAssemblyRef, 1}}, 0x10});
    const std::string key(0x10, 'k'), token(8, 't');
    qkztest::GuardedBytes longest(builder.root(key, token, "#" + std::string(31, 'x')));
    EXPECT_EQ("Wide.Assembly", dotnetutils::readMetadata(longest.data(), longest.size()).assembly.name);
    qkztest::GuardedBytes tooLong(builder.root(key, token, "#" + std::string(32, 'x')));
    EXPECT_THROW(dotnetutils::readMetadata(tooLong.data(), tooLong.size()), dotnetutils::MetadataError);
}

} // namespace
