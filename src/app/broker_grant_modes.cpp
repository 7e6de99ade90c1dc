#include "app/broker_grant_modes.h"

#include "app/cli_output.h"
#include "app/standard_input.h"
#include "identity/identity_error.h"
#include "identity/keychain_store.h"

namespace mornix {

int runBrokerGrantRead(std::shared_ptr<Keychain> keychain)
{
    try {
        const std::optional<BrokerGrant> grant = KeychainStore(std::move(keychain)).loadBrokerGrant();
        if (!grant || !grant->isValid())
            return 1;
        cli::writeStdoutRaw(grant->encoded());
        return 0;
    } catch (const IdentityError &) {
        return 1;
    }
}

int runBrokerGrantWrite(const Arguments &arguments, std::shared_ptr<Keychain> keychain)
{
    const std::optional<QByteArray> input = readStandardInput();
    if (!input)
        return 1;
    try {
        const BrokerGrant grant = BrokerGrant::decode(*input);
        const KeychainStore store(std::move(keychain));
        if (arguments.has(QStringLiteral("--broker-grant-create-stdin")))
            store.createBrokerGrant(grant);
        else
            store.updateBrokerGrant(grant);
        return 0;
    } catch (const IdentityError &) {
        return 1;
    }
}

}  // namespace mornix
