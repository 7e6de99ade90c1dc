#pragma once

#include "app/doctor_report.h"
#include "discovery/agent_instance.h"
#include "identity/credential_records.h"
#include "support/config.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

namespace mornix {

namespace doctor {

// A clock offset beyond this is a problem: the service refuses signed requests outside it.
inline constexpr std::chrono::seconds kMaxClockOffset{300};

// One request to the service on a pinned session, bounded as a whole by `bound` (connect, TLS
// and answer; a connection that hangs is cancelled). Enrolled: the signed, device-authenticated
// inventory report of the clients running now (what the agent itself sends); not enrolled: the
// public configuration of the default origin, unsigned. Reports the TLS check outcome, the HTTP
// status, the round-trip time and the clock offset from the answer's Date header; never the
// body of the answer nor anything of the credentials but the device id and origin.
// Thread: main thread (the session's).
QCoro::Task<DoctorCheck> checkService(Config config, std::optional<DeviceCredentials> credentials,
                                      QList<AgentInstanceReport> running, std::chrono::milliseconds bound);

// The offset of the server's clock from ours, from an HTTP Date header (IMF-fixdate, RFC 9110)
// and our clock at the midpoint of the exchange; nullopt when the header does not parse.
std::optional<qint64> clockOffsetSeconds(const QByteArray &dateHeader, const QDateTime &localMidpoint);

}  // namespace doctor

}  // namespace mornix
