#pragma once

#include "platform/keychain.h"

#include <functional>
#include <memory>

namespace mornix {

// A keychain that passes every call on to a real one after asking the gate about it: a gate
// answer other than keychain_status::success is returned instead of making the call. Tests make
// one kind of call fail, or every call wait, this way. The gate runs on the calling thread.
class GatedKeychain final : public Keychain {
public:
    enum class Call { read, add, update, remove, readKey, addKey, deleteKey };
    // account: the generic password's account; empty for the key calls.
    using Gate = std::function<int(Call call, const QString &account)>;
    GatedKeychain(std::shared_ptr<Keychain> inner, Gate gate)
        : m_inner(std::move(inner))
        , m_gate(std::move(gate))
    {
    }

    int readGenericPassword(const QString &s, const QString &a, QByteArray &d) override
    {
        const int refused = m_gate(Call::read, a);
        return refused ? refused : m_inner->readGenericPassword(s, a, d);
    }
    int addGenericPassword(const QString &s, const QString &a, const QByteArray &d) override
    {
        const int refused = m_gate(Call::add, a);
        return refused ? refused : m_inner->addGenericPassword(s, a, d);
    }
    int updateGenericPassword(const QString &s, const QString &a, const QByteArray &d) override
    {
        const int refused = m_gate(Call::update, a);
        return refused ? refused : m_inner->updateGenericPassword(s, a, d);
    }
    int deleteGenericPassword(const QString &s, const QString &a) override
    {
        const int refused = m_gate(Call::remove, a);
        return refused ? refused : m_inner->deleteGenericPassword(s, a);
    }
    int readKey(const QByteArray &t, QByteArray &k) override
    {
        const int refused = m_gate(Call::readKey, {});
        return refused ? refused : m_inner->readKey(t, k);
    }
    int addKey(const QByteArray &t, const QByteArray &k) override
    {
        const int refused = m_gate(Call::addKey, {});
        return refused ? refused : m_inner->addKey(t, k);
    }
    int deleteKey(const QByteArray &t) override
    {
        const int refused = m_gate(Call::deleteKey, {});
        return refused ? refused : m_inner->deleteKey(t);
    }

private:
    std::shared_ptr<Keychain> m_inner;
    Gate m_gate;
};

}  // namespace mornix
