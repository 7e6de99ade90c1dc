#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace mornix {

// One release of an appcast (RSS 2.0 with the sparkle namespace): an <item> whose <enclosure>
// names the archive. Version fields may stand on the item or on the enclosure.
struct AppcastItem {
    QString version;         // sparkle:version (the bundle's CFBundleVersion)
    QString shortVersion;    // sparkle:shortVersionString; the version when absent
    QUrl archiveURL;         // enclosure url, resolved against the feed's address
    qint64 length = 0;       // enclosure length in bytes, > 0
    QByteArray edSignature;  // sparkle:edSignature, decoded: 64 bytes
    QString archiveType;     // the enclosure's media type, as stated (may be empty)
};

// An item of a feed that cannot be offered, and why.
struct RefusedAppcastItem {
    QString version;       // as the item states it (may be empty)
    QString shortVersion;  // the version when absent
    QString reason;        // for the log: "it has no Ed25519 signature", ...
};

struct Appcast {
    QList<AppcastItem> items;           // the usable items, in document order
    QList<RefusedAppcastItem> refused;  // every other item, in document order
};

namespace appcast {

inline constexpr qint64 kMaxFeedBytes = 1024 * 1024;
inline constexpr qint64 kMaxArchiveBytes = qint64(4) << 30;

// The items of a feed. An item is refused (with its reason) when it lacks a version, an
// enclosure or its URL, when its length is not a whole number of bytes between 1 and
// kMaxArchiveBytes, or when it has no 64-byte Ed25519 signature; minimum OS fields are
// ignored. nullopt when the text is not well-formed XML or not an RSS channel.
std::optional<Appcast> parse(const QByteArray &xml, const QUrl &feedURL);

// Orders versions: dot-separated components, numeric ones compared as numbers, others as
// text; missing trailing components count as 0 ("1.2" equals "1.2.0"). <0, 0, >0.
int compareVersions(const QString &a, const QString &b);

// The archive format that the item's enclosure names ("tar", "tar.gz", "tar.xz" or "zip"), by
// the URL's file name, else by its media type; empty when it names none of them. Only a hint:
// the archive's content decides how it is read.
QString archiveFormatHint(const AppcastItem &item);

// The item with the highest version, or nullopt when there is none.
std::optional<AppcastItem> newest(const QList<AppcastItem> &items);

}  // namespace appcast

}  // namespace mornix
