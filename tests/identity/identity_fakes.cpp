#include "identity_fakes.h"

namespace mornix {

namespace {
class SoftwareBackedHardwareKey : public HardwareKeyHandle {
public:
    SoftwareBackedHardwareKey() : m_key(DevicePrivateKey::generateSoftware()) {}
    QByteArray publicKeyX963() const override { return m_key.publicKeyX963(); }
    QByteArray sign(const QByteArray &message, QString &errorText) const override { return m_key.sign(message, errorText); }

private:
    DevicePrivateKey m_key;
};
}  // namespace

HardwareKey::CreateResult FakeHardwareKey::create(const QByteArray &tag)
{
    ++createCalls;
    CreateResult result;
    if (createCode == 0) {
        result.key = std::make_shared<SoftwareBackedHardwareKey>();
        keys.insert(tag, result.key);
        return result;
    }
    if (!noErrorObject) {
        result.hasError = true;
        result.errorCode = createCode;
        result.errorDomain = QStringLiteral("NSOSStatusErrorDomain");
        result.errorDescription = QStringLiteral("Key generation failed");
    }
    return result;
}

}  // namespace mornix
