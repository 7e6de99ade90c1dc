#include "app/doctor_report.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace mornix {

namespace {

// One line per check, whatever the detail holds (an OS error text, a path with a newline).
QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    }
    return line.trimmed();
}

}  // namespace

QByteArray doctorReportText(const QList<DoctorCheck> &checks)
{
    qsizetype width = 0;
    for (const DoctorCheck &check : checks)
        width = std::max(width, check.name.size());
    QString text;
    for (const DoctorCheck &check : checks) {
        text += (check.ok ? QStringLiteral("ok") : QStringLiteral("problem")).leftJustified(8);
        text += check.name.leftJustified(width + 1);
        text += oneLine(check.detail);
        text += u'\n';
    }
    return text.toUtf8();
}

QByteArray doctorReportJSON(const QList<DoctorCheck> &checks)
{
    QJsonArray list;
    for (const DoctorCheck &check : checks) {
        list.append(QJsonObject{{QStringLiteral("name"), check.name},
                                {QStringLiteral("status"), check.ok ? QStringLiteral("ok") : QStringLiteral("problem")},
                                {QStringLiteral("detail"), oneLine(check.detail)},
                                {QStringLiteral("facts"), check.facts}});
    }
    const QJsonObject report{{QStringLiteral("ok"), doctorExitStatus(checks) == 0}, {QStringLiteral("checks"), list}};
    return QJsonDocument(report).toJson(QJsonDocument::Compact);
}

int doctorExitStatus(const QList<DoctorCheck> &checks)
{
    return std::all_of(checks.begin(), checks.end(), [](const DoctorCheck &check) { return check.ok; }) ? 0 : 1;
}

}  // namespace mornix
