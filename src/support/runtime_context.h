#pragma once

#include <QString>

namespace mornix {

// Where and how this process runs: for the controller's start log line and for refusing
// enrollment from a raw executable. A plain value: the composition root computes it once
// (app/runtime_context.h) and hands it down.
struct RuntimeContext {
    QString bundleID;  // the main bundle's identifier, or "unknown-bundle-id"
    QString bundlePath;
    QString executablePath;  // bundle executable, else argument 0, else "unknown-executable-path"
    QString architecture;    // the processor architecture this program was compiled for
    QString executionMode;   // "translated" under instruction translation, else "native"
};

// "translated" when the processor the system reports differs from the one compiled for (an
// emulated process), "native" otherwise.
QString executionModeFor(const QString &buildArchitecture, const QString &currentArchitecture);

}  // namespace mornix
