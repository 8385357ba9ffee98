#include "core/folderGuard.h"

// Placeholder bodies, replaced by the real implementation.
FolderGuard::FolderGuard(const QStringList& protectedPaths) : m_protected(protectedPaths) {}
FolderGuard::Result FolderGuard::remove(const QString&) const { Result r; r.reason = "not built"; return r; }
QString FolderGuard::keepReason(const QString&) const { return "not built"; }
