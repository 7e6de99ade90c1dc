#include "canonical.h"

#include "util.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace mornix {

namespace devservice {

namespace {

void appendString(std::string &out, const std::u16string &text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    // UTF-16 to UTF-8 by hand, escaping as we go.
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
        }
        switch (c) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\b': out += "\\b"; continue;
        case '\f': out += "\\f"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    out += '"';
}

bool appendValue(std::string &out, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null: out += "null"; return true;
    case QJsonValue::Bool: out += value.toBool() ? "true" : "false"; return true;
    case QJsonValue::String: appendString(out, value.toString().toStdU16String()); return true;
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return false;
        char buffer[64];
        std::to_chars_result written{};
        if (number == std::trunc(number) && std::fabs(number) < 9.2e18)
            written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(number));
        else
            written = std::to_chars(buffer, buffer + sizeof buffer, number);
        out.append(buffer, written.ptr);
        return true;
    }
    case QJsonValue::Array: {
        out += '[';
        bool first = true;
        for (const QJsonValue &item : value.toArray()) {
            if (!first)
                out += ',';
            first = false;
            if (!appendValue(out, item))
                return false;
        }
        out += ']';
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        std::vector<std::u16string> keys;
        for (auto it = object.begin(); it != object.end(); ++it)
            keys.push_back(it.key().toStdU16String());
        // Code-point order: UTF-16 unit order differs only above the surrogates, so compare
        // the decoded code points.
        std::sort(keys.begin(), keys.end(), [](const std::u16string &a, const std::u16string &b) {
            return QString::fromStdU16String(a).toUcs4() < QString::fromStdU16String(b).toUcs4();
        });
        out += '{';
        bool first = true;
        for (const std::u16string &key : keys) {
            if (!first)
                out += ',';
            first = false;
            appendString(out, key);
            out += ':';
            if (!appendValue(out, object.value(QString::fromStdU16String(key))))
                return false;
        }
        out += '}';
        return true;
    }
    case QJsonValue::Undefined: return false;
    }
    return false;
}

}  // namespace

std::optional<std::string> canonicalJSON(const QJsonValue &value)
{
    std::string out;
    if (!appendValue(out, value))
        return std::nullopt;
    return out;
}

std::optional<std::string> canonicalHashHex(const QJsonValue &value)
{
    const auto text = canonicalJSON(value);
    if (!text)
        return std::nullopt;
    return sha256Hex(*text);
}

}  // namespace devservice

}  // namespace mornix
