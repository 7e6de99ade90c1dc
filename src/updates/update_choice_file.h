#pragma once

#include <QString>

namespace mornix {

// The user's answer to the update notification, recorded in the choice file that the companion
// application created: <root>/update-choice.json, {"version", "action", "remindAt"}.
struct UpdateChoiceResult {
    enum class Outcome {
        saved,        // the file now holds the new action
        notRecorded,  // the file is missing, unsafe, for another version or already "now": left alone
        failed,       // qualified, but writing it failed (see `error`)
    };
    Outcome outcome = Outcome::notRecorded;
    QString error;
};

// Records `action` ("now" or "later") for `version` when every rule holds, in this order: the
// existing directory `root` (not followed when it is a link) is a directory of the current user
// without group or other permissions; the file, opened read-only without following a link, is a
// regular file of the current user with one link, without group or other permissions and at
// most 4096 bytes (at most 4097 are read); it holds a JSON object whose "version" is `version`
// and whose "action" is "pending" or "later".
// The new file ({"version", "action", "remindAt": nowMs + 21600000}) is created 0600 in the same
// directory before anything is written to it and renamed over the old one, so it is never open
// to others at any moment.
// Thread: any (blocking file work).
UpdateChoiceResult saveUpdateChoice(const QString &version, const QString &action, const QString &root, qint64 nowMs);

inline constexpr qint64 kUpdateReminderDelayMs = 21600000;

}  // namespace mornix
