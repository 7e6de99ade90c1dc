#pragma once

#include "signin/sign_in_flows.h"

namespace mornix {

// The controller's side of the sign-in flows: records every status text and keeps what the
// flows hand over. Thread: main thread.
class RecordingHost final : public SignInFlows::Host {
public:
    void setLastCommand(const QString &text) override { commands.append(text); }
    void setConnected(bool value) override { connected = value; }
    std::optional<DeviceCredentials> credentials() const override { return stored; }
    void setCredentials(const std::optional<DeviceCredentials> &value) override { stored = value; }
    std::optional<PendingClaimState> pendingClaim() const override { return pending; }
    void setPendingClaim(const std::optional<PendingClaimState> &value) override { pending = value; }
    bool hasServiceClient() const override { return client != nullptr; }
    void setServiceClient(std::shared_ptr<DeviceServiceClient> value) override { client = std::move(value); }

    QString last() const { return commands.value(commands.size() - 1); }

    QStringList commands;
    bool connected = true;
    std::optional<DeviceCredentials> stored;
    std::optional<PendingClaimState> pending;
    std::shared_ptr<DeviceServiceClient> client;
};

}  // namespace mornix
