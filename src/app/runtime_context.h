#pragma once

#include "support/runtime_context.h"

#include <QStringList>

namespace mornix {

class Bundle;

// The context of this process, from its main bundle and its arguments: computed once by the
// composition root and handed down as a value.
RuntimeContext currentRuntimeContext(const Bundle &bundle, const QStringList &arguments);

}  // namespace mornix
