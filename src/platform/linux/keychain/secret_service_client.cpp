#include "platform/linux/keychain/secret_service_client.h"

#include "platform/linux/modules/platform_modules.h"

namespace mornix {

namespace secret_service {

Client::Client(std::shared_ptr<PlatformModules> modules)
    : m_modules(std::move(modules))
{
}

const Functions *Client::functions(std::string &error) const
{
    QString problem;
    const void *table =
        m_modules->table(kModulePath, kModuleEntry, kModuleInterfaceVersion, "the Secret Service module", &problem);
    if (!table)
        error = problem.toStdString();
    return static_cast<const Functions *>(table);
}

bool Client::usable(std::string &problem) const
{
    return functions(problem) != nullptr;
}

bool Client::available() const
{
    std::string error;
    const Functions *f = functions(error);
    return f && f->available();
}

bool Client::running() const
{
    std::string error;
    const Functions *f = functions(error);
    return f && f->running();
}

Result Client::lookup(const Attributes &attributes, std::string &secret, std::string &error) const
{
    const Functions *f = functions(error);
    return f ? f->lookup(attributes, secret, error) : Result::unavailable;
}

Result Client::store(const Attributes &attributes, const std::string &label, const std::string &secret,
                     std::string &error) const
{
    const Functions *f = functions(error);
    return f ? f->store(attributes, label, secret, error) : Result::unavailable;
}

Result Client::replaceSecret(const Attributes &attributes, const std::string &secret, std::string &error) const
{
    const Functions *f = functions(error);
    return f ? f->replaceSecret(attributes, secret, error) : Result::unavailable;
}

Result Client::remove(const Attributes &attributes, std::string &error) const
{
    const Functions *f = functions(error);
    return f ? f->remove(attributes, error) : Result::unavailable;
}

}  // namespace secret_service

}  // namespace mornix
