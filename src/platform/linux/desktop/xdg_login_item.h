#pragma once

#include "platform/login_item.h"

namespace mornix {

// LoginItem as the XDG autostart entry "$XDG_CONFIG_HOME/autostart/ai.veltro.mornix.desktop"
// that starts the bundle's executable. An entry marked Hidden=true counts as not registered.
class XdgLoginItem final : public LoginItem {
public:
    // `executablePath`: what the entry starts; `configHome`: empty for the user's config directory.
    explicit XdgLoginItem(QString executablePath, QString configHome = {});

    Status status() const override;
    bool registerItem(QString *error = nullptr) override;
    bool unregisterItem(QString *error = nullptr) override;

    QString entryPath() const;

private:
    QString m_executablePath;
    QString m_configHome;
};

}  // namespace mornix
