// Makes a private key and a self-signed certificate with three openssl runs (key, signing request,
// self-signing). Every output is written into a fresh temporary file (the key's beside the key, the others
// beside the certificate) and the pair goes into place as one change only when all three steps succeeded
// (KeyPairUpdate): a failure or a kill never leaves a new key beside an old certificate, and a planted link
// is never written through.
#pragma once

#include "core/certificateRequest.h"
#include "core/fileSafety.h"
#include "core/openSslTool.h"
#include "core/problem.h"

#include <QCoreApplication>

#include <functional>

class CertificateGenerator
{
    Q_DECLARE_TR_FUNCTIONS(CertificateGenerator)

public:
    enum class Step
    {
        Key,
        Request,
        Certificate
    };

    struct Result
    {
        bool ok = false;
        QString message;   // the failure, word for word as the dialog shows it ("Cannot generate ...")
        QString cause;     // openssl's last error line, or the file and system error; may be empty
        Problems warnings; // what went wrong beside it (the change log could not be written)
    };

    explicit CertificateGenerator(int stepTimeoutMs = OpenSslTool::s_defaultTimeoutMs);

    // Called before each step starts (for a progress line), in the generating thread.
    void setProgress(std::function<void(Step)> progress) { m_progress = std::move(progress); }
    // When cancel turns true, the running openssl is stopped and the generation fails as cancelled, with its
    // temporary files removed like any failure's.
    void setCancel(const std::atomic<bool>* cancel) { m_cancel = cancel; }

    // ownership: what the new key and certificate get (owner, group, mode; the key is 0600 until all three
    // steps succeeded). What a killed generation of this pair left is finished or undone first.
    Result generate(const CertificateRequest& request, const FileSafety::Ownership& ownership) const;

private:
    // The generation itself; generate records it in the audit trail.
    Result generateNow(const CertificateRequest& request, const FileSafety::Ownership& ownership) const;

    int m_stepTimeoutMs;
    std::function<void(Step)> m_progress;
    const std::atomic<bool>* m_cancel = nullptr;
};
