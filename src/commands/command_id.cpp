#include "commands/command_id.h"

#include "support/json_reader.h"

namespace mornix {

namespace command_id {

bool isSafe(const QString &id)
{
    if (id.isEmpty() || id == QLatin1String(".") || id == QLatin1String(".."))
        return false;
    qsizetype codePoints = 0;
    for (qsizetype i = 0; i < id.size(); ++i) {
        const QChar ch = id.at(i);
        if (ch.isHighSurrogate()) {
            if (i + 1 >= id.size() || !id.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (ch.isLowSurrogate()) {
            return false;
        } else {
            const char16_t unit = ch.unicode();
            if (unit < 0x20 || (unit >= 0x7f && unit <= 0x9f))
                return false;
        }
        if (++codePoints > kMaxCharacters)
            return false;
    }
    return true;
}

QByteArray pathSegment(const QString &id)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    const QByteArray bytes = id.toUtf8();
    QByteArray segment;
    segment.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
                                || (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_'
                                || byte == '~';
        if (unreserved) {
            segment += c;
        } else {
            segment += '%';
            segment += kHex[byte >> 4];
            segment += kHex[byte & 0x0f];
        }
    }
    return segment;
}

std::optional<QString> readableID(const QByteArray &body)
{
    try {
        const QString id = JsonReader::parse(body).required<JsonReader>("command").required<QString>("id");
        if (!isSafe(id))
            return std::nullopt;
        return id;
    } catch (const JsonFieldError &) {
        return std::nullopt;
    }
}

}  // namespace command_id

}  // namespace mornix
