#pragma once

/// Flushes what was written to a file down to its medium; tests record when that happens.
class FileSync {
public:
    virtual ~FileSync() = default;
    /// fdatasync() on an open descriptor (a data file or its folder); 0 or the errno.
    virtual int dataSync(int fd) = 0;
};

/// The system's fdatasync().
FileSync& systemFileSync();
