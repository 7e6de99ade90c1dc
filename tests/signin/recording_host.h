#pragma once

#include "app/api_adapters.h"
#include "commands/controller_state.h"
#include "signin/sign_in_flows.h"

#include <QStringList>

#include <memory>

namespace mornix {

// The controller's state as the sign-in flows see it, with real service clients; records every
// status text set and every log line. Thread: main thread.
class RecordingHost {
public:
    RecordingHost()
        : state(std::make_unique<ControllerState>([this](const QString &line) { log.append(line); },
                                                  makeServiceClientFactory(Config::defaults(), nullptr, {})))
    {
        QObject::connect(state.get(), &ControllerState::lastCommandSet, state.get(),
                         [this](const QString &text) { commands.append(text); });
        state->setConnected(true);  // so that a flow that leaves it alone is seen to
        log.clear();
    }
    RecordingHost(const RecordingHost &) = delete;
    RecordingHost &operator=(const RecordingHost &) = delete;

    QString last() const { return commands.value(commands.size() - 1); }

    QStringList commands;
    QStringList log;  // the operational log: flow lines and changed status texts
    std::unique_ptr<ControllerState> state;
};

// The flows' alerts, recorded as (title, text) instead of shown.
class RecordingAlerts final : public SignInFlows::Alerts {
public:
    void showWarning(const QString &title, const QString &text) override { shown.append({title, text}); }
    void showInformational(const QString &title, const QString &text) override { shown.append({title, text}); }
    QList<QPair<QString, QString>> shown;
};

// Where the flows run: the application bundle of this build.
inline RuntimeContext bundledContext()
{
    RuntimeContext context;
    context.bundleID = QStringLiteral("ai.veltro.mornix");
    context.bundlePath = QStringLiteral(MORNIX_BUNDLE_DIR);
    context.executablePath = QStringLiteral(MORNIX_EXECUTABLE);
    return context;
}

}  // namespace mornix
