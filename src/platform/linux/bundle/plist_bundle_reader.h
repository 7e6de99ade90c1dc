#pragma once

#include "platform/bundle_reader.h"

namespace mornix {

// Reads "<bundle>/Contents/Info.plist" with libplist.
class PlistBundleReader final : public BundleReader {
public:
    std::optional<QVariant> infoValue(const QString &bundlePath, const QString &key) const override;
};

}  // namespace mornix
