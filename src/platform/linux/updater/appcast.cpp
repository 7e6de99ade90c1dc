#include "platform/linux/updater/appcast.h"

#include <QStringList>
#include <QXmlStreamReader>

#include <variant>

namespace mornix {

namespace {

const QString kSparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

bool isDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// Numeric comparison of two digit strings of any length.
int compareNumbers(QString a, QString b)
{
    while (a.size() > 1 && a.startsWith(QLatin1Char('0')))
        a.remove(0, 1);
    while (b.size() > 1 && b.startsWith(QLatin1Char('0')))
        b.remove(0, 1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

struct ItemFields {
    QString version;
    QString shortVersion;
    QString url;
    QString length;
    QString signature;
    QString type;
    bool hasEnclosure = false;
};

// The item, or the reason it is refused.
std::variant<AppcastItem, QString> toItem(const ItemFields &fields, const QUrl &feedURL)
{
    if (fields.version.trimmed().isEmpty())
        return QStringLiteral("it has no version");
    if (!fields.hasEnclosure || fields.url.trimmed().isEmpty())
        return QStringLiteral("it has no archive address");
    AppcastItem item;
    item.version = fields.version.trimmed();
    item.shortVersion = fields.shortVersion.trimmed().isEmpty() ? item.version : fields.shortVersion.trimmed();
    const QUrl relative(fields.url.trimmed(), QUrl::StrictMode);
    if (!relative.isValid())
        return QStringLiteral("its archive address is malformed");
    item.archiveURL = feedURL.resolved(relative);
    bool ok = false;
    item.length = fields.length.trimmed().toLongLong(&ok);
    if (fields.length.trimmed().isEmpty())
        return QStringLiteral("it states no archive length");
    if (!ok || item.length <= 0 || item.length > appcast::kMaxArchiveBytes)
        return QStringLiteral("its archive length \"%1\" is impossible").arg(fields.length.trimmed().left(32));
    if (fields.signature.trimmed().isEmpty())
        return QStringLiteral("it has no Ed25519 signature");
    item.edSignature =
        QByteArray::fromBase64(fields.signature.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (item.edSignature.size() != 64)
        return QStringLiteral("its Ed25519 signature is malformed");
    item.archiveType = fields.type.trimmed();
    return item;
}

}  // namespace

namespace appcast {

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.trimmed().split(QLatin1Char('.'));
    const QStringList right = b.trimmed().split(QLatin1Char('.'));
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QString x = i < left.size() ? left[i] : QStringLiteral("0");
        const QString y = i < right.size() ? right[i] : QStringLiteral("0");
        int order = 0;
        if (isDigits(x) && isDigits(y))
            order = compareNumbers(x, y);
        else if (isDigits(x) != isDigits(y))
            order = isDigits(x) ? 1 : -1;  // a number ranks above a text ("1.0" > "1.0b")
        else
            order = x.compare(y);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}

std::optional<Appcast> parse(const QByteArray &xml, const QUrl &feedURL)
{
    if (xml.size() > kMaxFeedBytes)
        return std::nullopt;
    QXmlStreamReader reader(xml);
    reader.setNamespaceProcessing(true);
    Appcast feed;
    bool sawRSS = false;
    bool sawChannel = false;
    std::optional<ItemFields> current;

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD)
            return std::nullopt;  // no document types: nothing to expand, nothing to fetch
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = reader.name();
            const bool sparkle = reader.namespaceUri() == kSparkleNamespace;
            const bool plain = reader.namespaceUri().isEmpty();
            if (!sawRSS) {
                if (!plain || name != QLatin1String("rss"))
                    return std::nullopt;
                sawRSS = true;
            } else if (plain && name == QLatin1String("channel")) {
                sawChannel = true;
            } else if (plain && name == QLatin1String("item")) {
                current = ItemFields{};
            } else if (current && plain && name == QLatin1String("enclosure")) {
                const QXmlStreamAttributes attributes = reader.attributes();
                current->hasEnclosure = true;
                current->url = attributes.value(QLatin1String("url")).toString();
                current->length = attributes.value(QLatin1String("length")).toString();
                current->signature = attributes.value(kSparkleNamespace, QLatin1String("edSignature")).toString();
                current->type = attributes.value(QLatin1String("type")).toString();
                if (attributes.hasAttribute(kSparkleNamespace, QLatin1String("version")))
                    current->version = attributes.value(kSparkleNamespace, QLatin1String("version")).toString();
                if (attributes.hasAttribute(kSparkleNamespace, QLatin1String("shortVersionString")))
                    current->shortVersion =
                        attributes.value(kSparkleNamespace, QLatin1String("shortVersionString")).toString();
            } else if (current && sparkle && name == QLatin1String("version")) {
                current->version = reader.readElementText(QXmlStreamReader::SkipChildElements);
            } else if (current && sparkle && name == QLatin1String("shortVersionString")) {
                current->shortVersion = reader.readElementText(QXmlStreamReader::SkipChildElements);
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (current && reader.namespaceUri().isEmpty() && reader.name() == QLatin1String("item")) {
                std::variant<AppcastItem, QString> item = toItem(*current, feedURL);
                if (AppcastItem *usable = std::get_if<AppcastItem>(&item)) {
                    feed.items.append(std::move(*usable));
                } else {
                    const QString version = current->version.trimmed();
                    const QString shortVersion = current->shortVersion.trimmed();
                    feed.refused.append(
                        {version, shortVersion.isEmpty() ? version : shortVersion, std::get<QString>(item)});
                }
                current.reset();
            }
        }
    }
    if (reader.hasError() || !sawRSS || !sawChannel)
        return std::nullopt;
    return feed;
}

QString archiveFormatHint(const AppcastItem &item)
{
    const QString name = item.archiveURL.fileName().toLower();
    static const std::pair<const char *, const char *> suffixes[] = {{".tar", "tar"},    {".tar.gz", "tar.gz"},
                                                                     {".tgz", "tar.gz"}, {".tar.xz", "tar.xz"},
                                                                     {".txz", "tar.xz"}, {".zip", "zip"}};
    for (const auto &[suffix, format] : suffixes) {
        if (name.endsWith(QLatin1String(suffix)))
            return QLatin1String(format);
    }
    const QString type = item.archiveType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    static const std::pair<const char *, const char *> types[] = {{"application/x-tar", "tar"},
                                                                  {"application/gzip", "tar.gz"},
                                                                  {"application/x-gzip", "tar.gz"},
                                                                  {"application/x-xz", "tar.xz"},
                                                                  {"application/zip", "zip"}};
    for (const auto &[mediaType, format] : types) {
        if (type == QLatin1String(mediaType))
            return QLatin1String(format);
    }
    return {};
}

std::optional<AppcastItem> newest(const QList<AppcastItem> &items)
{
    std::optional<AppcastItem> best;
    for (const AppcastItem &item : items) {
        if (!best || compareVersions(item.version, best->version) > 0)
            best = item;
    }
    return best;
}

}  // namespace appcast

}  // namespace mornix
