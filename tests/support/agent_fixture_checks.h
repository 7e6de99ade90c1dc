#pragma once

#include <QString>

namespace mornix {

// Independent computations for checking the scanner's output: launch identities read with
// python3 and /bin/ps, instance ids hashed with python3's hashlib.
namespace agent_checks {

// Application form, computed by python3 from /proc (repr of the float: shortest round trip).
QString applicationLaunchIdentity(qint32 pid);
// Process form: `ps -o lstart= -p PID` with blanks collapsed.
QString processLaunchIdentity(qint32 pid);
// "local_" + sha256 hex of the id text, by python3.
QString instanceID(const QString &idText);

}  // namespace agent_checks

}  // namespace mornix
