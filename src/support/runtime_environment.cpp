#include "support/runtime_environment.h"

namespace mornix {

RuntimeEnvironment RuntimeEnvironment::fromProcess()
{
    RuntimeEnvironment environment;
    if (qEnvironmentVariableIsSet("VELTRO_MDM_ENROLLMENT_SECRET"))
        environment.mdmEnrollmentSecret = qEnvironmentVariable("VELTRO_MDM_ENROLLMENT_SECRET");
    return environment;
}

}  // namespace mornix
