// veltro-codesign: signs an application bundle or a standalone executable in the
// "veltro-codesign-1" format, or verifies one.
//
//   veltro-codesign --cert TEAM.pem --key TEAM.key [--identifier ID] PATH
//   veltro-codesign --verify --anchors ANCHORS.pem PATH
//
// PATH ending in ".app" is a bundle: every regular file under Contents/ (outside
// Contents/_CodeSignature/) is sealed, the identifier defaults to CFBundleIdentifier, and the
// signature is written to Contents/_CodeSignature/CodeSignature. A bundle that cannot be sealed
// (a symbolic link leading outside it or nowhere, a FIFO or device, anything beside Contents/)
// is refused. Any other PATH is a standalone executable: the
// identifier defaults to its file name and the signature is written to PATH.codesig.

#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/bundle/info_plist.h"
#include "platform/linux/codesign/cms_code_signing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace mornix {

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "veltro-codesign: %s\n", qPrintable(message));
    return 1;
}

std::optional<QString> hashFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    std::optional<QString> hash = code_signature::sha256OfDescriptor(fd);
    ::close(fd);
    return hash;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int verify(const QString &path, const QString &anchorsPath)
{
    const QByteArray anchors = readFile(anchorsPath);
    if (anchors.isEmpty())
        return fail(QStringLiteral("cannot read the anchors %1").arg(anchorsPath));
    CmsCodeSigning signing(anchors);
    const std::optional<SigningInformation> info = signing.staticSigningInformation(QFileInfo(path).absoluteFilePath());
    if (!info)
        return fail(QStringLiteral("%1: invalid or unsigned code").arg(path));
    const QJsonObject object{{QStringLiteral("identifier"), info->identifier},
                             {QStringLiteral("team_identifier"), info->teamIdentifier}};
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    return 0;
}

int sign(const QString &rawPath, const QString &certificatePath, const QString &keyPath, QString identifier)
{
    const QFileInfo target(rawPath);
    const QString path = target.absoluteFilePath();
    code_signature::CodeDirectory directory;
    if (code_signature::isBundlePath(path)) {
        if (!target.isDir())
            return fail(QStringLiteral("%1 is not a bundle directory").arg(rawPath));
        // Seal everything: the very walk the verifier makes, so a bundle that cannot be sealed
        // (a link leading outside, a FIFO, files beside Contents/) is refused here already.
        QString problem;
        const code_signature::FileHasher hasher = [](int fd) { return code_signature::sha256OfDescriptor(fd); };
        std::optional<code_signature::BundleContents> contents =
            code_signature::readBundleContents(path, hasher, &problem);
        if (!contents)
            return fail(QStringLiteral("%1 cannot be sealed: %2").arg(rawPath, problem));
        const std::optional<QVariantMap> info = info_plist::parse(contents->infoPlist);
        if (!info)
            return fail(QStringLiteral("%1 has no readable Contents/Info.plist").arg(rawPath));
        const QVariant executable = info->value(QStringLiteral("CFBundleExecutable"));
        if (executable.typeId() != QMetaType::QString
            || !contents->files.contains(QStringLiteral("Contents/MacOS/") + executable.toString()))
            return fail(QStringLiteral("%1: CFBundleExecutable does not name a file in Contents/MacOS").arg(rawPath));
        if (identifier.isEmpty())
            identifier = info->value(QStringLiteral("CFBundleIdentifier")).toString();
        directory.files = std::move(contents->files);
    } else {
        if (!target.isFile())
            return fail(QStringLiteral("%1 is not a file").arg(rawPath));
        if (identifier.isEmpty())
            identifier = target.fileName();
        const std::optional<QString> hash = hashFile(path);
        if (!hash)
            return fail(QStringLiteral("cannot read %1").arg(rawPath));
        directory.files.insert(target.fileName(), *hash);
    }
    if (identifier.isEmpty())
        return fail(QStringLiteral("no signing identifier (give --identifier)"));
    directory.identifier = identifier;

    QString error;
    const std::optional<QByteArray> signature = code_signature::signContent(
        code_signature::encodeCodeDirectory(directory), readFile(certificatePath), readFile(keyPath), &error);
    if (!signature)
        return fail(error);
    const QString signaturePath = code_signature::signatureFilePath(path);
    QDir().mkpath(QFileInfo(signaturePath).absolutePath());
    QSaveFile out(signaturePath);
    if (!out.open(QIODevice::WriteOnly) || out.write(*signature) != signature->size() || !out.commit())
        return fail(QStringLiteral("cannot write %1").arg(signaturePath));
    return 0;
}

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltro-codesign"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Signs or verifies a bundle or executable (veltro-codesign-1)."));
    parser.addHelpOption();
    const QCommandLineOption certOption(QStringLiteral("cert"), QStringLiteral("Team certificate (PEM)."),
                                        QStringLiteral("file"));
    const QCommandLineOption keyOption(QStringLiteral("key"), QStringLiteral("Team private key (PEM)."),
                                       QStringLiteral("file"));
    const QCommandLineOption identifierOption(QStringLiteral("identifier"), QStringLiteral("Signing identifier."),
                                              QStringLiteral("id"));
    const QCommandLineOption verifyOption(QStringLiteral("verify"), QStringLiteral("Verify instead of signing."));
    const QCommandLineOption anchorsOption(
        QStringLiteral("anchors"), QStringLiteral("Anchor certificates (PEM) for --verify."), QStringLiteral("file"));
    parser.addOptions({certOption, keyOption, identifierOption, verifyOption, anchorsOption});
    parser.addPositionalArgument(QStringLiteral("path"), QStringLiteral("X.app bundle or executable."));
    parser.process(app);

    const QStringList paths = parser.positionalArguments();
    if (paths.size() != 1)
        return fail(QStringLiteral("exactly one path is needed"));
    if (parser.isSet(verifyOption)) {
        if (!parser.isSet(anchorsOption))
            return fail(QStringLiteral("--verify needs --anchors"));
        return verify(paths.first(), parser.value(anchorsOption));
    }
    if (!parser.isSet(certOption) || !parser.isSet(keyOption))
        return fail(QStringLiteral("signing needs --cert and --key"));
    return sign(paths.first(), parser.value(certOption), parser.value(keyOption), parser.value(identifierOption));
}
