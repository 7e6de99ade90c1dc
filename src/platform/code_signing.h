#pragma once

#include <QString>

#include <optional>

namespace mornix {

// What a valid code signature says about the code it seals.
struct SigningInformation {
    QString identifier;      // the code-signing identifier
    QString teamIdentifier;  // the signing team (the leaf certificate's OU); compared exactly

    bool operator==(const SigningInformation &) const = default;
};

// A designated requirement: "identifier I and anchor and leaf OU = T".
struct CodeRequirement {
    QString identifier;
    QString teamIdentifier;
};

// Code-signature checks. A path is an application bundle (".../X.app") or a standalone
// executable. Every call returns nullopt / false when the code is unsigned, tampered, signed by
// an untrusted chain, or cannot be read. Verdicts may be cached by file identity.
// Thread: any. May block while hashing files: never call on the main thread for unknown code.
class CodeSigning {
public:
    virtual ~CodeSigning() = default;

    // Strict static validation of the code at path.
    virtual std::optional<SigningInformation> staticSigningInformation(const QString &path) = 0;

    // Dynamic validation of a running process: its running image (the bytes it executes, even
    // if the file was replaced or deleted since) has the signed digest of the code it was started
    // from, and that code is statically valid. For a process started from a bundle, only the
    // bundle's main executable (CFBundleExecutable) counts.
    virtual std::optional<SigningInformation> dynamicSigningInformation(qint32 pid) = 0;

    // Dynamic validation of a running application: as dynamicSigningInformation, and the process
    // runs the main executable of exactly the bundle at bundlePath (".../X.app").
    virtual std::optional<SigningInformation> applicationSigningInformation(qint32 pid, const QString &bundlePath) = 0;

    // Static validity plus the requirement.
    bool satisfies(const QString &path, const CodeRequirement &requirement)
    {
        const std::optional<SigningInformation> info = staticSigningInformation(path);
        return info && info->identifier == requirement.identifier && info->teamIdentifier == requirement.teamIdentifier;
    }
};

}  // namespace mornix
