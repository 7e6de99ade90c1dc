#pragma once

#include "platform/system_log.h"

namespace mornix {

// SystemLog over syslog(3) with ident "VeltroMornix", facility user.
class SyslogSystemLog final : public SystemLog {
public:
    SyslogSystemLog();
    ~SyslogSystemLog() override;
    void write(Level level, const QString &message) override;
};

}  // namespace mornix
