#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

#include <functional>
#include <optional>

namespace mornix {

// The Linux code-signature format "veltro-codesign-1": a DER CMS SignedData (content encapsulated,
// id-data, SHA-256, exactly one signer) over a JSON code directory
//   {"files":{"<relative path>":"<sha256 hex>",...},"format":"veltro-codesign-1","identifier":"<id>"}
// The signer's subject OU is the team identifier. For a bundle "X.app" the signature lives in
// "X.app/Contents/_CodeSignature/CodeSignature"; for a standalone executable "P" in "P.codesig".
// Thread: any; all functions are pure or touch only their arguments' files.
namespace code_signature {

inline constexpr char kFormat[] = "veltro-codesign-1";

struct CodeDirectory {
    QString identifier;
    QMap<QString, QString> files;  // relative path -> lower-case hex SHA-256
};

// True for ".../X.app" (the path names an application bundle directory).
bool isBundlePath(const QString &path);
QString signatureFilePath(const QString &codePath);

// A relative path that stays inside its base: no leading '/', no empty, "." or ".." component.
bool isSafeRelativePath(const QString &path);

QByteArray encodeCodeDirectory(const CodeDirectory &directory);
std::optional<CodeDirectory> parseCodeDirectory(const QByteArray &json);

// Lower-case hex SHA-256 of a file's bytes read through an open descriptor; nullopt on I/O error.
std::optional<QString> sha256OfDescriptor(int fd);
QString sha256OfBytes(const QByteArray &bytes);

inline constexpr char kInfoPlistPath[] = "Contents/Info.plist";
inline constexpr char kSignatureDirectory[] = "Contents/_CodeSignature";

// What a bundle holds on disk, as a sealing signature must list it: every regular file under
// Contents/ outside Contents/_CodeSignature/, by relative path ("Contents/...") with its hash.
struct BundleContents {
    QMap<QString, QString> files;  // relative path -> lower-case hex SHA-256
    QByteArray infoPlist;          // the very bytes of Contents/Info.plist that were hashed
};

// Hashes one regular file opened by the walk (descriptor, cache identity); nullopt on failure.
using FileHasher = std::function<std::optional<QString>(int fd)>;

// Walks the bundle at bundlePath through directory descriptors, never following a symbolic
// link, and opens every file as foreign_file does (no FIFO can block the walk). A bundle that
// cannot be sealed gives nullopt and, when problem is given, a reason: anything beside Contents/
// at the top, a symbolic link that leads outside the bundle or nowhere, a FIFO, socket or
// device, a name that is not UTF-8, an unreadable entry, more than 100 000 entries or 32 levels.
std::optional<BundleContents> readBundleContents(const QString &bundlePath, const FileHasher &hash,
                                                 QString *problem = nullptr);

// Signs content as DER CMS SignedData with SHA-256, content encapsulated, binary mode.
// certificatePEM may hold further (intermediate) certificates after the signer's, which are
// embedded too. On failure returns nullopt and sets *error.
std::optional<QByteArray> signContent(const QByteArray &content, const QByteArray &certificatePEM,
                                      const QByteArray &privateKeyPEM, QString *error);

struct VerifiedContent {
    QByteArray content;
    QString teamIdentifier;
};

// Verifies DER CMS SignedData against the anchors (PEM): encapsulated id-data content, exactly
// one signer using SHA-256, a chain to an anchor (any purpose on the store), the codeSigning
// extended key usage on the signer and exactly one OU in its subject.
std::optional<VerifiedContent> verifySignedContent(const QByteArray &der, const QByteArray &anchorsPEM);

}  // namespace code_signature

}  // namespace mornix
