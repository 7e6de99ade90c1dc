#pragma once

#include <QString>

namespace mornix {

class Bundle;

// The build label "version (build)+stamp" shown in the start log line and the log header.
//  - version: CFBundleShortVersionString when a string non-empty after trimming (placed as
//    stored), else "dev"; build: CFBundleVersion under the same rule, else "0";
//  - stamp: the executable's modification time as "yyyyMMdd-HHmmss" in UTC, "unknown" when it
//    cannot be read. The executable is the bundle's, or argument 0 when the bundle has none.
QString computeBuildLabel(const Bundle &bundle, const QString &argument0);

// The stamp part for one file.
QString buildStamp(const QString &executablePath);

}  // namespace mornix
