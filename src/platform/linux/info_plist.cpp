#include "platform/linux/info_plist.h"

#include <QDateTime>
#include <QFile>
#include <QVariantList>

#include <plist/plist.h>

#include <cstdlib>
#include <limits>

namespace info_plist {
namespace {

QVariant toVariant(plist_t node, int depth)
{
    if (!node || depth > 64)
        return {};
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
        char *value = nullptr;
        plist_get_string_val(node, &value);
        QString text = value ? QString::fromUtf8(value) : QString();
        std::free(value);
        return QVariant(text);
    }
    case PLIST_DATA: {
        char *value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        QByteArray data(value, static_cast<qsizetype>(length));
        std::free(value);
        return QVariant(data);
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
        for (uint32_t i = 0; i < size; ++i)
            list.append(toVariant(plist_array_get_item(node, i), depth + 1));
        return QVariant(list);
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter)
            return QVariant(map);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key)
                break;
            map.insert(QString::fromUtf8(key), toVariant(value, depth + 1));
            std::free(key);
        }
        std::free(iter);
        return QVariant(map);
    }
    default:
        return {};
    }
}

}  // namespace

std::optional<QVariantMap> parse(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root)
        return std::nullopt;
    std::optional<QVariantMap> result;
    if (plist_get_node_type(root) == PLIST_DICT)
        result = toVariant(root, 0).toMap();
    plist_free(root);
    return result;
}

std::optional<QVariantMap> read(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    if (file.size() > maxBytes)
        return std::nullopt;
    return parse(file.read(maxBytes));
}

}  // namespace info_plist
