// Fuzz harness: bytes as they arrive on the broker-grant modes' standard input or sit in a
// keychain item, decoded as each stored record. Invariants: decoding either succeeds or throws
// the decoder's error; a decoded record survives encoding and decoding unchanged; validity does
// not change across that round trip.
#include "identity/credential_records.h"
#include "identity/identity_error.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace mornix {

namespace {

template <typename Record>
void roundTrip(const QByteArray &bytes)
{
    try {
        const Record record = Record::decode(bytes);
        const Record again = Record::decode(record.encoded());
        if (!(again == record))
            std::abort();
        if constexpr (std::is_same_v<Record, BrokerGrant>) {
            if (again.isValid() != record.isValid())
                std::abort();
        }
    } catch (const DecodingError &error) {
        if (error.localizedDescription().isEmpty())
            std::abort();
    }
}

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    roundTrip<BrokerGrant>(bytes);
    roundTrip<DeviceCredentials>(bytes);
    roundTrip<PendingClaimState>(bytes);
    return 0;
}
