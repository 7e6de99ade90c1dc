#pragma once

#include "platform/code_signing.h"

#include <atomic>
#include <memory>

namespace mornix {

// Wraps a CodeSigning port and counts the evaluations that reach it (tests and benchmarks).
class CountingCodeSigning final : public CodeSigning {
public:
    explicit CountingCodeSigning(std::shared_ptr<CodeSigning> inner)
        : m_inner(std::move(inner))
    {
    }

    std::optional<SigningInformation> staticSigningInformation(const QString &path) override
    {
        ++m_static;
        return m_inner->staticSigningInformation(path);
    }
    std::optional<SigningInformation> dynamicSigningInformation(qint32 pid) override
    {
        ++m_dynamic;
        return m_inner->dynamicSigningInformation(pid);
    }

    std::optional<SigningInformation> applicationSigningInformation(qint32 pid, const QString &bundlePath) override
    {
        ++m_application;
        return m_inner->applicationSigningInformation(pid, bundlePath);
    }

    int dynamicEvaluations() const { return m_dynamic; }
    int applicationEvaluations() const { return m_application; }
    int evaluations() const { return m_static + m_dynamic + m_application; }
    void reset()
    {
        m_static = 0;
        m_dynamic = 0;
        m_application = 0;
    }

private:
    std::shared_ptr<CodeSigning> m_inner;
    std::atomic<int> m_static{0};
    std::atomic<int> m_dynamic{0};
    std::atomic<int> m_application{0};
};

}  // namespace mornix
