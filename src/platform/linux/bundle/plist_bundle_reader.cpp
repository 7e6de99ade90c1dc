#include "platform/linux/bundle/plist_bundle_reader.h"

#include "platform/linux/bundle/info_plist.h"

namespace mornix {

std::optional<QVariant> PlistBundleReader::infoValue(const QString &bundlePath, const QString &key) const
{
    const auto info = info_plist::read(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return std::nullopt;
    return info->value(key);
}

}  // namespace mornix
