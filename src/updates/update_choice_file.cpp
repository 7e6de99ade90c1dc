#include "updates/update_choice_file.h"

#include "platform/posix_files.h"
#include "support/json_reader.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace mornix {

namespace {

constexpr qint64 kMaxChoiceBytes = 4096;
const QString kFileName = QStringLiteral("update-choice.json");

UpdateChoiceResult notRecorded()
{
    return {UpdateChoiceResult::Outcome::notRecorded, {}};
}

// The file's current content when it qualifies for `version`: "pending" or "later" recorded.
bool awaitsAnswer(const QByteArray &content, const QString &version)
{
    try {
        const JsonReader current = JsonReader::parse(content);
        const QString action = current.required<QString>("action");
        return current.required<QString>("version") == version
               && (action == QLatin1String("pending") || action == QLatin1String("later"));
    } catch (const JsonFieldError &) {
        return false;
    }
}

}  // namespace

UpdateChoiceResult saveUpdateChoice(const QString &version, const QString &action, const QString &root, qint64 nowMs)
{
    if (action != QLatin1String("now") && action != QLatin1String("later"))
        return notRecorded();

    // Every later step works through this descriptor, so the directory checked is the one used.
    const posix::OpenResult directory = posix::openOwnDirectory(root, posix::ModeRule::requirePrivate);
    if (!directory.ok())
        return notRecorded();
    const posix::ReadResult current = posix::readOwnFileAt(directory.fd.get(), kFileName, kMaxChoiceBytes);
    if (!current.ok() || !awaitsAnswer(*current.bytes, version))
        return notRecorded();

    const QJsonObject choice{{QStringLiteral("version"), version},
                             {QStringLiteral("action"), action},
                             {QStringLiteral("remindAt"), nowMs + kUpdateReminderDelayMs}};
    // The new content goes into a file that is 0600 from its creation, then replaces the old one.
    const posix::ReplaceResult replaced =
        posix::replaceFile(directory.fd.get(), kFileName, QJsonDocument(choice).toJson(QJsonDocument::Compact));
    if (!replaced.ok()) {
        const char *what = replaced.step == posix::ReplaceResult::Step::create  ? "cannot create the new choice file"
                           : replaced.step == posix::ReplaceResult::Step::write ? "cannot write the new choice file"
                                                                                : "cannot replace the choice file";
        return {UpdateChoiceResult::Outcome::failed,
                QStringLiteral("%1: %2").arg(QLatin1String(what), posix::errorText(replaced.error))};
    }
    return {UpdateChoiceResult::Outcome::saved, {}};
}

}  // namespace mornix
