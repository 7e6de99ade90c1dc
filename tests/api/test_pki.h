#pragma once

#include "support/config.h"

#include <QSet>
#include <QString>
#include <QTemporaryDir>

namespace mornix {

// Certificates made for the tests by make-test-pki (see there for the list), in a private
// temporary directory, and a Config that trusts their CA on localhost and 127.0.0.1.
class TestPki {
public:
    TestPki();
    bool isValid() const { return m_valid; }
    QString certificate(const QString &name) const;  // <name>.pem
    QString key(const QString &name) const;          // <name>.key
    Config config(const QSet<QString> &pins = {}) const;

    // The pin of a leaf computed by the openssl command line, independently of the client.
    QString opensslPin(const QString &name) const;

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

}  // namespace mornix
