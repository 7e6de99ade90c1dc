// Fuzz harness: code signatures of other programs: the DER CMS envelope (verified against the
// build's anchors) and the JSON code directory. Invariant: a parsed directory encodes and parses
// back to the same paths, hashes and identifier.
#include "platform/linux/codesign/code_signature.h"
#include "support/config.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    (void)code_signature::verifySignedContent(bytes, Config::defaults().codeSigningAnchorsPEM);
    if (const std::optional<code_signature::CodeDirectory> directory = code_signature::parseCodeDirectory(bytes)) {
        const std::optional<code_signature::CodeDirectory> again =
            code_signature::parseCodeDirectory(code_signature::encodeCodeDirectory(*directory));
        if (!again || again->identifier != directory->identifier || again->files != directory->files)
            std::abort();
        for (auto it = directory->files.cbegin(); it != directory->files.cend(); ++it) {
            if (!code_signature::isSafeRelativePath(it.key()))
                std::abort();
        }
    }
    return 0;
}
