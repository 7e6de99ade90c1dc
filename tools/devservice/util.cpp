#include "util.h"

#include "support/crypto.h"

#include <QString>
#include <QTextBoundaryFinder>

#include <chrono>
#include <limits>
#include <ctime>

namespace mornix {

namespace devservice {

std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t nowSeconds()
{
    return nowMs() / 1000;
}

std::string isoUtc(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::string randomToken(const std::string &prefix)
{
    return prefix + crypto::base64URLNoPadding(crypto::randomBytes(32)).toStdString();
}

std::string randomUUID()
{
    return crypto::randomUUIDLower().toStdString();
}

std::string randomInviteCode()
{
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";  // 32 characters
    const QByteArray bytes = crypto::randomBytes(12);
    std::string code;
    for (int i = 0; i < 12; ++i) {
        if (i > 0 && i % 4 == 0)
            code += '-';
        code += alphabet[static_cast<unsigned char>(bytes.at(i)) % 32];
    }
    return code;
}

std::string sha256Hex(const std::string &data)
{
    return crypto::sha256Hex(QByteArray::fromStdString(data)).toStdString();
}

std::optional<std::int64_t> parseInteger(const std::string &text)
{
    const bool negative = !text.empty() && text[0] == '-';
    const size_t first = negative ? 1 : 0;
    if (text.size() == first)
        return std::nullopt;
    // Accumulated as a negative number: its range holds the most negative value too.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (size_t i = first; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        const int digit = text[i] - '0';
        if (value < (kMin + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == kMin)
        return std::nullopt;
    return -value;
}

std::string normalisedInviteCode(const std::string &code)
{
    return QString::fromStdString(code).trimmed().toUpper().toStdString();
}

std::string sanitizeText(const std::string &text, int max)
{
    QString cleaned;
    for (const QChar ch : QString::fromStdString(text).trimmed()) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            continue;
        cleaned += ch;
    }
    return cleaned.left(max).toStdString();
}

int userPerceivedLength(const std::string &text)
{
    const QString string = QString::fromStdString(text);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, string);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

std::optional<std::string> percentDecode(const std::string &text)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hex(text[i + 1]);
        const int low = hex(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string percentEncode(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

}  // namespace devservice

}  // namespace mornix
