#include "platform/linux/system/settings_user_defaults.h"

#include <QSettings>

namespace mornix {

namespace {

const QString kOrganization = QStringLiteral("Veltro");
const QString kApplication = QStringLiteral("VeltroMornix");

}  // namespace

std::optional<QString> SettingsUserDefaults::string(const QString &key) const
{
    const QSettings settings(kOrganization, kApplication);
    const QVariant value = settings.value(key);
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

void SettingsUserDefaults::setString(const QString &key, const QString &value)
{
    QSettings settings(kOrganization, kApplication);
    settings.setValue(key, value);
}

}  // namespace mornix
