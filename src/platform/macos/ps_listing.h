#pragma once

#include "platform/process_table.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace mornix {

// The process tool's texts, for ports that list processes with "/bin/ps" (macOS). Pure
// functions except run*, which start the tool (blocking: never on the main thread).
namespace ps_listing {

struct Line {
    qint32 pid = 0;
    QString launchIdentity;  // the five lstart fields joined with single blanks
    QString executablePath;  // fields 7 onward joined with single blanks
};

// Parses the output of `ps -axo pid=,lstart=,comm=`: lines split at white space; lines with
// fewer than 7 fields or a pid that is not a decimal 32-bit integer are skipped. Output that is
// not UTF-8 gives an empty list.
QList<Line> parseProcessListing(const QByteArray &output);

// The start identity from one run of `ps -p PID -o lstart=`: not started: Unavailable; non-zero
// exit: NotRunning; no usable first line: Unavailable; otherwise Observed with the first line,
// blanks collapsed like the listing's launch identity (so the two compare equal).
ProcessStartObservation parseStartIdentity(bool started, bool finishedNormally, int exitCode, const QByteArray &output);

inline constexpr char kProcessTool[] = "/bin/ps";
QList<Line> runProcessListing();
ProcessStartObservation runStartIdentity(qint32 pid);

}  // namespace ps_listing

}  // namespace mornix
