#pragma once

#include "platform/user_defaults.h"

namespace mornix {

// The user defaults in QSettings, organisation "Veltro", application "VeltroMornix" (on Linux
// $XDG_CONFIG_HOME/Veltro/VeltroMornix.conf). Each call opens the store anew, so a value another
// process wrote is seen and a written one is synced when the call returns.
class SettingsUserDefaults final : public UserDefaults {
public:
    std::optional<QString> string(const QString &key) const override;
    void setString(const QString &key, const QString &value) override;
};

}  // namespace mornix
