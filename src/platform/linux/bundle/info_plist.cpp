#include "platform/linux/bundle/info_plist.h"

#include "platform/linux/foreign_file.h"

#include <QDateTime>
#include <QVariantList>

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

namespace mornix {

namespace info_plist {
namespace {

constexpr int kMaxDepth = 64;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// libplist keeps a string's length beside its bytes, but its C-string getters assert that the two
// agree (an embedded NUL aborts the process) and it has no length-returning getter for keys. The
// XML writer copies every string and key by its length, so a NUL in any of them shows up as a
// NUL byte in the serialised text: refuse those documents before any key is read.
bool hasNulInStringsOrKeys(plist_t root)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (!xml)
        return true;
    const bool nul = std::memchr(xml, 0, length) != nullptr;
    plist_to_xml_free(xml);
    return nul;
}

quint64 bigEndian(const uchar *p, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

// libplist cuts a binary plist's ASCII string at its first NUL without saying so; the other
// readers of the same file would see more. Walks the object table and reports whether any
// string object (ASCII or UTF-16) holds a NUL, or whether the table is not well formed.
bool binaryHasNulOrIsMalformed(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const quint64 size = static_cast<quint64>(bytes.size());
    if (size < 8 + 32)
        return true;
    const uchar *trailer = data + size - 32;
    const int offsetSize = trailer[6];
    const quint64 objects = bigEndian(trailer + 8, 8);
    const quint64 tableOffset = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || objects == 0 || tableOffset < 8 || tableOffset > size - 32
        || objects > (size - 32 - tableOffset) / static_cast<quint64>(offsetSize))
        return true;
    for (quint64 i = 0; i < objects; ++i) {
        const quint64 offset = bigEndian(data + tableOffset + i * static_cast<quint64>(offsetSize), offsetSize);
        if (offset < 8 || offset >= tableOffset)
            return true;
        const int type = data[offset] >> 4;
        if (type != 0x5 && type != 0x6)
            continue;
        quint64 length = data[offset] & 0x0f;
        quint64 start = offset + 1;
        if (length == 0x0f) {
            // The length follows as an integer object: marker 0x1n, then 2^n big-endian bytes.
            if (start >= tableOffset || (data[start] >> 4) != 0x1 || (data[start] & 0x0f) > 3)
                return true;
            const int lengthSize = 1 << (data[start] & 0x0f);
            if (start + 1 + static_cast<quint64>(lengthSize) > tableOffset)
                return true;
            length = bigEndian(data + start + 1, lengthSize);
            start += 1 + static_cast<quint64>(lengthSize);
        }
        const quint64 unit = type == 0x5 ? 1 : 2;
        if (length > (tableOffset - start) / unit)
            return true;
        for (quint64 j = 0; j < length; ++j) {
            const uchar *c = data + start + j * unit;
            if (c[0] == 0 && (unit == 1 || c[1] == 0))
                return true;
        }
    }
    return false;
}

// Converts one node; sets ok to false on anything the reader refuses.
QVariant toVariant(plist_t node, int depth, bool &ok)
{
    if (!ok)
        return {};
    if (!node || depth > kMaxDepth) {
        ok = false;
        return {};
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        // libplist 2.2 stores integers as 64-bit patterns without a signed getter.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        if (value > static_cast<uint64_t>(std::numeric_limits<qint64>::max()))
            return QVariant::fromValue<quint64>(value);
        return QVariant::fromValue<qint64>(static_cast<qint64>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *value = plist_get_string_ptr(node, &length);
        if (!value || length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max())
            || std::memchr(value, 0, static_cast<size_t>(length))) {
            ok = false;
            return {};
        }
        return QVariant(QString::fromUtf8(value, static_cast<qsizetype>(length)));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *value = plist_get_data_ptr(node, &length);
        if (length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max())) {
            ok = false;
            return {};
        }
        return QVariant(QByteArray(value, value ? static_cast<qsizetype>(length) : 0));
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // Property-list dates count from 2001-01-01T00:00:00Z.
        const qint64 epoch2001 = 978307200;
        return QVariant(QDateTime::fromMSecsSinceEpoch((epoch2001 + sec) * 1000 + usec / 1000, Qt::UTC));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t size = plist_array_get_size(node);
        for (uint32_t i = 0; i < size && ok; ++i)
            list.append(toVariant(plist_array_get_item(node, i), depth + 1, ok));
        return QVariant(list);
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter)
            return QVariant(map);
        while (ok) {
            // Keys are read only after hasNulInStringsOrKeys passed for the whole document.
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key)
                break;
            const QString name = QString::fromUtf8(key);
            std::free(key);
            if (map.contains(name)) {
                ok = false;  // a repeated key: which value counts would be a parser's whim
                break;
            }
            map.insert(name, toVariant(value, depth + 1, ok));
        }
        std::free(iter);
        return QVariant(map);
    }
    default:
        // UIDs and unknown node types have no Info.plist meaning.
        return {};
    }
}

}  // namespace

std::optional<QVariantMap> parse(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxBytes)
        return std::nullopt;
    if (bytes.startsWith("bplist")) {
        if (binaryHasNulOrIsMalformed(bytes))
            return std::nullopt;
    } else if (bytes.contains('\0')) {
        // No XML document holds a NUL character in any form; libplist would cut keys at it.
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &raw);
    const PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT || hasNulInStringsOrKeys(root.get()))
        return std::nullopt;
    bool ok = true;
    const QVariant value = toVariant(root.get(), 0, ok);
    if (!ok)
        return std::nullopt;
    return value.toMap();
}

std::optional<QVariantMap> read(const QString &path, qint64 maxBytes)
{
    const std::optional<QByteArray> bytes = foreign_file::read(path, std::min(maxBytes, kMaxBytes));
    if (!bytes)
        return std::nullopt;
    return parse(*bytes);
}

}  // namespace info_plist

}  // namespace mornix
