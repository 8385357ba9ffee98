// Replaces a key and its certificate as one change, so that the pair in place always belongs together: the
// old pair or the new one, never a new key beside an old certificate. Before the first rename a record
// (".<key>.<pid>.<random>.pair" in the key's folder) names the new files and hidden hard links that keep
// the old ones. A later run that finds the record of a dead writer finishes the change when both new files
// are still at hand, and puts the old pair back otherwise.
#pragma once

#include <QCoreApplication>
#include <QString>

class KeyPairUpdate
{
    Q_DECLARE_TR_FUNCTIONS(KeyPairUpdate)

public:
    enum class Failed
    {
        None,
        Key,        // the key could not be put in place
        Certificate // the certificate could not be put in place
    };

    // newKey and newCert are complete, synced temporaries in the folders of keyPath and certPath, with
    // their final owner and mode. They are taken over: on success they are in place, on failure they are
    // removed and the old pair (or none, if there was none) is in place unchanged. error says what failed.
    static Failed install(const QString& newKey, const QString& newCert, const QString& keyPath,
                          const QString& certPath, QString* error);

    // The key stays: newCert (as for install) replaces the certificate alone, one rename under the pair's
    // lock, so the pair in place always belongs together and nothing is left to recover. Refused while the
    // key in place is not keyBytes (the certificate was made for it). On failure newCert is removed.
    static Failed replaceCertificate(const QString& newCert, const QString& keyPath, const QString& certPath,
                                     const QByteArray& keyBytes, QString* error);

    // Finishes or undoes each change of this pair whose writer died, then removes the temporaries of dead
    // processes in both folders. True when the key or the certificate in place changed.
    static bool recover(const QString& keyPath, const QString& certPath);
};
