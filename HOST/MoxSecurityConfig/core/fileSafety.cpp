#include "core/fileSafety.h"

// Placeholder bodies, replaced by the real implementation.
FileSafety::Ownership FileSafety::ownershipFrom(const QString&) { return {}; }
int FileSafety::openRegular(const QString&, QString* error, qint64) { if (error) *error = "not built"; return -1; }
bool FileSafety::readRegular(const QString&, QByteArray&, QString* error, qint64) { if (error) *error = "not built"; return false; }
QString FileSafety::checkRegular(const QString&, qint64) { return QString(); }
int FileSafety::createTemporary(const QString&, const QString&, QString&, QString* error) { if (error) *error = "not built"; return -1; }
bool FileSafety::moveIntoPlace(const QString&, const QString&, const Ownership&, QString* error) { if (error) *error = "not built"; return false; }
bool FileSafety::writeAtomically(const QString&, const QByteArray&, const Ownership&, QString* error) { if (error) *error = "not built"; return false; }
bool FileSafety::makeFolders(const QString&, const Ownership&, QString* error) { if (error) *error = "not built"; return false; }
int FileSafety::modeOf(const QString&) { return -1; }
