#pragma once

#include "support/runtime_environment.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QUrl>

namespace mornix {

// Build-time configuration. Code that needs configuration takes a Config value, so tests can
// build their own; Config::defaults() is what this build was configured with.
struct Config {
    QString defaultAPIBaseURL;              // HTTPS origin used where no other base URL is given
    QSet<QString> allowedAPIHosts;          // lower-case host names
    QSet<QString> bundledPinnedSPKIHashes;  // lower-case hex SHA-256 of leaf key representations
    QSet<QString> pinnedSPKIHashes;         // the pin set in force (equals the bundled set)
    QString defaultOAuthClientID;
    QUrl websiteURL;
    QUrl helpPageURL;
    QByteArray extraTLSAnchorsPEM;     // PEM certificates trusted besides the system store
    QByteArray codeSigningAnchorsPEM;  // PEM certificates that code signatures must chain to
    // Our own bundle's signer: the team (leaf OU) and signing identifier its signature must carry
    // for the bundle's modules to load. An empty team matches no signature.
    QString codeSigningTeamIdentifier;
    QString codeSigningIdentifier;
    // The process environment as the composition root read it at start; Config::defaults() has
    // an empty one.
    RuntimeEnvironment environment;

    static const Config &defaults();
};

}  // namespace mornix
