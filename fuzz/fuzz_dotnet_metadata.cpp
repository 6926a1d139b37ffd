// The .NET metadata reader, over a whole assembly (the PE reader finds the
// metadata root) or over raw metadata. Properties: it answers or throws
// MetadataError; what it answers keeps the bounds a line of the utility's
// output relies on; display names escape what would split them.
#include "FuzzText.h"
#include "Metadata.h"
#include "foundation/Failure.h"
#include "image/PeImage.h"

#include <cstring>

namespace {

void checkText(const std::string& text)
{
    QKZ_REQUIRE(text.size() <= 1024);
    for (char c : text)
        QKZ_REQUIRE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && c != '|');
}

// The name part of a display name read back: up to the first comma that no
// backslash escapes, with the escapes removed.
std::string nameOf(const std::string& display)
{
    std::string name;
    for (size_t i = 0; i < display.size(); ++i) {
        if (display[i] == '\\' && i + 1 < display.size())
            name += display[++i];
        else if (display[i] == ',')
            break;
        else
            name += display[i];
    }
    return name;
}

void checkIdentity(const dotnetutils::AssemblyIdentity& identity)
{
    checkText(identity.name);
    checkText(identity.culture);
    size_t key = identity.publicKeyOrToken.size();
    QKZ_REQUIRE(identity.fullPublicKey ? key <= 16384 : (key == 0 || key == 8));
    std::vector<uint8_t> token = identity.fullPublicKey ? std::vector<uint8_t>(8, 0xAB) : identity.publicKeyOrToken;
    std::string display = dotnetutils::displayName(identity, token);
    QKZ_REQUIRE(display.find('|') == std::string::npos && display.find('\n') == std::string::npos);
    QKZ_REQUIRE(nameOf(display) == identity.name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* root = data;
    uint64_t length = size;
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        try {
            uint64_t at = ZelUt::PeImage(data, size).dotNetMetadata(length);
            if (at == ZelUt::PeImage::kNowhere)
                return 0;
            root = data + at;
        } catch (const ZelUt::PortableFailure&) {
            return 0;
        }
    }
    try {
        dotnetutils::AssemblyMetadata metadata = dotnetutils::readMetadata(root, length);
        if (metadata.hasAssembly)
            checkIdentity(metadata.assembly);
        QKZ_REQUIRE(metadata.references.size() <= 4096);
        for (const auto& reference : metadata.references)
            checkIdentity(reference);
    } catch (const dotnetutils::MetadataError&) {
    }
    return 0;
}
