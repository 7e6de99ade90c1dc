#pragma once

#include "platform/system_log.h"
#include "platform/updater.h"

#include <memory>

namespace mornix {

// Asks "A new version of Veltro is available" with the buttons Install and Later, in a small
// window that does not block the event loop. Without a window system (no QApplication) it
// answers Later and says so in the system log.
// Thread: main thread.
class UpdatePromptDialog final : public UpdatePrompt {
public:
    explicit UpdatePromptDialog(std::shared_ptr<SystemLog> systemLog);
    QCoro::Task<bool> askToInstall(UpdateOffer offer) override;

private:
    std::shared_ptr<SystemLog> m_systemLog;
};

}  // namespace mornix
