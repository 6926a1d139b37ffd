// The PE reader over arbitrary bytes: headers, sections, imports, exports,
// resources, the CLI header and the certificate table. Every query answers or
// fails with the reader's own error (code 12 out of range, 193 not an
// image); what it returns lies inside the input.
#include "FuzzText.h"
#include "foundation/Failure.h"
#include "image/PeImage.h"

using ZelUt::PeImage;
using ZelUt::PortableFailure;

namespace {

template <class Query>
void ask(Query query)
{
    try {
        query();
    } catch (const PortableFailure& failure) {
        QKZ_REQUIRE(failure.code == ZelUt::kErrorInvalidAccess || failure.code == ZelUt::kErrorBadExeFormat);
        QKZ_REQUIRE(!failure.text.empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PeImage image(data, size);
    bool nt = image.hasNtHeaders();
    ask([&] { image.machine(); });
    if (!nt)  // every other query fails the same way (and a throw is slow under the sanitizers)
        return 0;
    ask([&] { image.imageSize(); });
    ask([&] { image.dotNetFlags(); });
    ask([&] { image.dotNetVersion(); });
    ask([&] {
        uint64_t length = 0;
        uint64_t root = image.dotNetMetadata(length);
        QKZ_REQUIRE(root == PeImage::kNowhere || (root <= size && length <= size - root));
    });
    ask([&] {
        uint32_t offset = 0, length = 0;
        QKZ_REQUIRE(!image.certificateTable(offset, length) || (nt && length > 0));
    });
    ask([&] { image.exports(); });
    ask([&] { image.imports(); });
    ask([&] {
        size_t total = 0;
        for (const PeImage::Resource& resource : image.resources())
            QKZ_REQUIRE((total += resource.data.size()) <= PeImage::kReadsOfTheImage * size);
    });
    ask([&] {
        for (const PeImage::Resource& resource : image.resources(false))
            QKZ_REQUIRE(resource.data.empty());
    });
    return 0;
}
