// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QLockFile>
#include <memory>

/// This logger's claim on the data folder it receives into, so that a second logger of the
/// same account can tell it is not alone there. The claim is a lock in the account's runtime
/// folder, keyed by the folder's canonical path: nothing is put in the data folder, and the
/// claim ends with the process that holds it, however it ends.
class FolderClaim {
public:
    /// Claims `folder`, giving up any earlier claim; false when another process holds it.
    bool take(const QByteArray& folder);
    void release();

private:
    std::unique_ptr<QLockFile> m_lock;
};
