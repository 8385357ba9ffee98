// moxsec cert: generate, ensure, delete and show the OPC UA server's or the runtime core's key pair.
#pragma once

#include "installationCommand.h"

#include "core/certificateRequest.h"

// A command whose first argument names the pair, opcua or core.
class PairCommand : public InstallationCommand
{
public:
    using InstallationCommand::InstallationCommand;

protected:
    QStringList concernedPaths(const ConfigSnapshot& snapshot) const override;
    // The pair from the first argument; false with the usage error in exitCode.
    bool parsePair(int& exitCode);
    bool opcUa() const { return m_mode == CertificateRequest::Mode::OpcUa; }
    // The data every pair command reports.
    void reportPair(const QString& certificate, const QString& key);
    // The subject options given (of cert generate, with --digest) into request.
    void takeSubjectOptions(CertificateRequest& request) const;

    CertificateRequest::Mode m_mode = CertificateRequest::Mode::OpcUa;
};

// Generates a key and a self-signed certificate from the command line's subject and the configuration.
class KeyPairCommand : public PairCommand
{
public:
    using PairCommand::PairCommand;

protected:
    bool checkArguments(int& exitCode) override;
    std::optional<ActionRules::Action> action() const override;
    int executeWithInstallation() override;

    // Whether the existing pair's key is opened by the pass phrase read, and not by the configured one, so
    // that writing the read one mends the configuration.
    virtual bool mends(const CertificateRequest& request) const;
    // Whether the run makes a new pair, whose pass phrase the configuration then takes.
    virtual bool makesNewPair() const { return true; }
    virtual int dryRun(const CertificateRequest& request, bool mend);
    // Generates the pair; false with the exit status in exitCode when nothing was tried.
    virtual bool produce(const CertificateRequest& request, ActionResult& result, int& exitCode) = 0;

    QStringList newPairChanges(const CertificateRequest& request) const;
    bool m_keyPresent = false, m_certificatePresent = false;

private:
    bool checkSubjectOptions(int& exitCode);
    // The command line's values in the request; false with the exit status in exitCode.
    bool fillRequest(CertificateRequest& request, int& exitCode);
    int writePair(const CertificateRequest& request);
    // Reports a write into the OPC UA config of keys; false when it failed.
    bool reportConfigWrite(const ActionResult& written, const QStringList& keys);

    QString m_host, m_uri;
    bool m_uriOptions = false;
    int m_bits = 0, m_days = 0;
};

class CertGenerateCommand : public KeyPairCommand
{
public:
    CertGenerateCommand();

protected:
    bool produce(const CertificateRequest& request, ActionResult& result, int& exitCode) override;
};

class CertEnsureCommand : public KeyPairCommand
{
public:
    CertEnsureCommand();

protected:
    bool mends(const CertificateRequest& request) const override;
    bool makesNewPair() const override { return !m_keyPresent && !m_certificatePresent; }
    int dryRun(const CertificateRequest& request, bool mend) override;
    bool produce(const CertificateRequest& request, ActionResult& result, int& exitCode) override;
};

class CertDeleteCommand : public PairCommand
{
public:
    CertDeleteCommand();

protected:
    bool checkArguments(int& exitCode) override { return parsePair(exitCode); }
    std::optional<ActionRules::Action> action() const override;
    int executeWithInstallation() override;
};

class CertShowCommand : public PairCommand
{
public:
    CertShowCommand();

protected:
    bool needsInstallation() const override;
    int executeWithInstallation() override;
};
