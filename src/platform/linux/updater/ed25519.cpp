#include "platform/linux/updater/ed25519.h"

#include <openssl/evp.h>

#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>

namespace mornix {

namespace ed25519 {

bool verify(const QByteArray &publicKey, const QByteArray &signature, const unsigned char *message, size_t size)
{
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char *>(publicKey.constData()), 32),
        &EVP_PKEY_free);
    if (!key)
        return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    static const unsigned char empty = 0;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()), 64,
                            size ? message : &empty, size)
           == 1;
}

bool verifyFile(const QByteArray &publicKey, const QByteArray &signature, int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
        return false;
    const size_t size = static_cast<size_t>(info.st_size);
    if (size == 0)
        return verify(publicKey, signature, nullptr, 0);
    void *mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED)
        return false;
    const bool valid = verify(publicKey, signature, static_cast<const unsigned char *>(mapped), size);
    ::munmap(mapped, size);
    return valid;
}

}  // namespace ed25519

}  // namespace mornix
