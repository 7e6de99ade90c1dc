// Fuzz harness: Info.plist files and bundles of other programs (XML and binary plists, UTF-16
// strings included). Each input is parsed directly; one input in sixteen (chosen by its bytes, so
// runs repeat) is also read the way the agent reads another program's bundle: written as
// Contents/Info.plist of a scratch bundle, then read through the bundle reader and the sealing
// walk (file I/O would otherwise dominate the run). Invariants: no parsed string or key holds a NUL; the file
// readers agree with the in-memory parse; the walk hashes exactly the bytes on disk.
#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/bundle/info_plist.h"
#include "platform/linux/bundle/plist_bundle_reader.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHashFunctions>
#include <QVariantList>
#include <QVariantMap>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace mornix {

namespace {

bool clean(const QVariant &value, int depth)
{
    if (depth > 70)
        return false;
    switch (value.typeId()) {
    case QMetaType::QString: return !value.toString().contains(QChar(0));
    case QMetaType::QVariantList:
        for (const QVariant &item : value.toList()) {
            if (!clean(item, depth + 1))
                return false;
        }
        return true;
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (it.key().contains(QChar(0)) || !clean(it.value(), depth + 1))
                return false;
        }
        return true;
    }
    default: return true;
    }
}

// A scratch bundle under the temporary directory, removed when the process ends.
struct ScratchBundle {
    QString root;
    QString bundle;
    ScratchBundle()
    {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/fuzz-info-plist-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        root = QFile::decodeName(pattern);
        bundle = root + QStringLiteral("/Claude.app");
        QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
        QFile exe(bundle + QStringLiteral("/Contents/MacOS/Claude"));
        if (!exe.open(QIODevice::WriteOnly) || exe.write("#!/bin/sh\n") != 10)
            std::abort();
    }
    ~ScratchBundle() { QDir(root).removeRecursively(); }
};

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<QVariantMap> parsed = info_plist::parse(bytes);
    if (parsed && !clean(QVariant(*parsed), 0))
        std::abort();

    if ((qHashBits(data, size) & 15) != 0)
        return 0;
    static ScratchBundle scratch;
    const QString plistPath = scratch.bundle + QStringLiteral("/Contents/Info.plist");
    {
        QFile file(plistPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            std::abort();
    }
    const std::optional<QVariant> identifier =
        PlistBundleReader().infoValue(scratch.bundle, QStringLiteral("CFBundleIdentifier"));
    if (identifier.has_value() != parsed.has_value()
        || (identifier && *identifier != parsed->value(QStringLiteral("CFBundleIdentifier"))))
        std::abort();

    if (bytes.size() > info_plist::kMaxBytes)
        return 0;
    const code_signature::FileHasher hasher = [](int fd) { return code_signature::sha256OfDescriptor(fd); };
    const std::optional<code_signature::BundleContents> contents =
        code_signature::readBundleContents(scratch.bundle, hasher);
    if (!contents || contents->infoPlist != bytes
        || contents->files.value(QStringLiteral("Contents/Info.plist")) != code_signature::sha256OfBytes(bytes)
        || contents->files.size() != 2)
        std::abort();
    return 0;
}
