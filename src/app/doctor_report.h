#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace mornix {

// One line of the --doctor report: a named check, whether it passed, a short detail for a
// person and the same facts as JSON values. Contract: nothing secret ever goes into a check
// (no token, device secret, key material or service answer body); the checks put only
// identifiers, paths, counts, states and the system's error texts here.
struct DoctorCheck {
    QString name;  // "build", "keychain", "service", ... (stable: support scripts read it)
    bool ok = true;
    QString detail;     // one line, readable
    QJsonObject facts;  // the values behind the detail, for --doctor --json

    static DoctorCheck pass(QString name, QString detail, QJsonObject facts = {})
    {
        return {std::move(name), true, std::move(detail), std::move(facts)};
    }
    static DoctorCheck problem(QString name, QString detail, QJsonObject facts = {})
    {
        return {std::move(name), false, std::move(detail), std::move(facts)};
    }
};

// "ok      build       1.4 (12)+20261207-101500; signature and seal verify\n" per check, the
// status and name columns padded; control characters in details are replaced by spaces.
QByteArray doctorReportText(const QList<DoctorCheck> &checks);
// {"ok":bool,"checks":[{"name","status":"ok"|"problem","detail","facts"}]} on one line.
QByteArray doctorReportJSON(const QList<DoctorCheck> &checks);
// 0 when every check passed, 1 when any is a problem.
int doctorExitStatus(const QList<DoctorCheck> &checks);

}  // namespace mornix
