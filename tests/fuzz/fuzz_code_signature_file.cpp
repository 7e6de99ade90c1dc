// Fuzz harness: the code-signature file of a bundle or a standalone executable, read the way
// the agent reads another program's signature (open, descriptor checks, CMS verification,
// code directory, listed files hashed). The first byte picks:
//   bit 0  0: the rest is the signature file as it lies on disk;
//          1: the rest is a code directory, signed here with a dev team certificate, so that
//             mutations reach everything behind the signature check;
//   bit 1  a bundle ("Fuzz.app") or a standalone executable ("tool");
//   bits 2-3  what sits at the signature path: a regular file, a symbolic link to one, a FIFO
//             or a directory (only a regular file may count; nothing may block).
// Invariants: whatever is accepted is signed by a dev team and lists the main executable (and,
// for a bundle, Info.plist), and every listed file exists inside the code with exactly the
// listed SHA-256 (hashed here independently); a signature that is not a regular file is
// refused; a second check of the same files gives the same verdict (the caches).
#include "fuzz_support.h"
#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "support/config.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

#include <sys/stat.h>

namespace mornix {

using fuzz_support::check;

namespace {

const QString kTeam = QStringLiteral("Q6L2SF6YDW");

struct Fixture {
    QString base;
    QString bundle;
    QString tool;
    QByteArray certificate;
    QByteArray key;
    QByteArray anchors = Config::defaults().codeSigningAnchorsPEM;

    Fixture()
    {
        base = fuzz_support::privateDirectory() + QStringLiteral("/code");
        bundle = base + QStringLiteral("/Fuzz.app");
        tool = base + QStringLiteral("/tool");
        check(QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")), "bundle directories");
        check(QDir().mkpath(bundle + QStringLiteral("/Contents/Resources")), "bundle directories");
        check(QDir().mkpath(bundle + QStringLiteral("/Contents/_CodeSignature")), "bundle directories");
        // Fixed contents: the seeds list their hashes.
        write(bundle + QStringLiteral("/Contents/Info.plist"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>ai.veltro.fuzz</string>"
              "<key>CFBundleExecutable</key><string>fuzzed</string></dict></plist>\n");
        write(bundle + QStringLiteral("/Contents/MacOS/fuzzed"), "#!/bin/sh\nexit 0\n");
        write(bundle + QStringLiteral("/Contents/Resources/notes.txt"), "notes\n");
        write(tool, "#!/bin/sh\necho tool\n");
        certificate = readAll(QStringLiteral(MORNIX_DEV_PKI_DIR "/team-Q6L2SF6YDW.pem"));
        key = readAll(QStringLiteral(MORNIX_DEV_PKI_DIR "/team-Q6L2SF6YDW.key"));
    }

    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
              "writing a fixture file");
    }
    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        check(file.open(QIODevice::ReadOnly), "reading the dev team certificate and key");
        return file.readAll();
    }
};

Fixture &fixture()
{
    static Fixture instance;
    return instance;
}

// Puts `bytes` at the signature path as the chosen kind of file.
void plant(const QString &path, const QByteArray &bytes, int kind)
{
    const QByteArray name = QFile::encodeName(path);
    const QByteArray aside = name + ".target";
    ::unlink(name.constData());
    ::rmdir(name.constData());
    ::unlink(aside.constData());
    switch (kind) {
    case 0: Fixture::write(path, bytes); break;
    case 1:
        Fixture::write(QFile::decodeName(aside), bytes);
        check(::symlink(aside.constData(), name.constData()) == 0, "planting a symbolic link");
        break;
    case 2: check(::mkfifo(name.constData(), 0600) == 0, "planting a FIFO"); break;
    default: check(::mkdir(name.constData(), 0700) == 0, "planting a directory"); break;
    }
}

QString sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}

// Every listed file lies inside `root` and has the listed hash.
void checkListedFiles(const QJsonObject &files, const QString &root)
{
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        const QFileInfo info(path);
        check(info.isFile() && !info.isSymLink(), "a listed file is a regular file");
        check(info.canonicalFilePath().startsWith(canonicalRoot + QLatin1Char('/')),
              "a listed file lies inside the code");
        check(sha256Of(path) == it.value().toString(), "a listed file has the listed hash");
    }
}

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fixture &f = fixture();
    const bool signHere = data[0] & 1;
    const bool bundle = data[0] & 2;
    const int kind = (data[0] >> 2) & 3;
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, static_cast<qsizetype>(size - 1));

    QByteArray signature = rest;
    if (signHere) {
        QString error;
        const std::optional<QByteArray> signedBytes = code_signature::signContent(rest, f.certificate, f.key, &error);
        check(signedBytes.has_value(), "signing with the dev team certificate");
        signature = *signedBytes;
    }
    const QString codePath = bundle ? f.bundle : f.tool;
    plant(code_signature::signatureFilePath(codePath), signature, kind);

    CmsCodeSigning signing(f.anchors);
    const std::optional<SigningInformation> verdict = signing.staticSigningInformation(codePath);
    check(signing.staticSigningInformation(codePath) == verdict, "a second check gives the same verdict");
    if (!verdict)
        return 0;

    check(kind == 0, "only a regular signature file counts");
    check(!verdict->identifier.isEmpty() && !verdict->teamIdentifier.isEmpty(), "a verdict names code and team");
    if (!signHere)
        return 0;  // raw bytes signed by this build's PKI: nothing more is known about them here
    check(verdict->teamIdentifier == kTeam, "the signer's team is reported");
    const QJsonObject directory = QJsonDocument::fromJson(rest).object();
    check(directory.value(QStringLiteral("identifier")).toString() == verdict->identifier,
          "the reported identifier is the signed one");
    const QJsonObject files = directory.value(QStringLiteral("files")).toObject();
    if (bundle) {
        check(files.contains(QStringLiteral("Contents/Info.plist"))
                  && files.contains(QStringLiteral("Contents/MacOS/fuzzed")),
              "a bundle's signature lists Info.plist and the main executable");
        checkListedFiles(files, f.bundle);
    } else {
        check(files.contains(QStringLiteral("tool")), "a tool's signature lists the tool");
        checkListedFiles(files, f.base);
    }
    return 0;
}
