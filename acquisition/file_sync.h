#pragma once

/// Flushes what was written to a file down to its medium; tests record when that happens.
class FileSync {
public:
    virtual ~FileSync() = default;
    /// Flushes the data written to a file, or a folder's entries, to the medium through an
    /// open descriptor (fdatasync on Linux); 0 or the system's error code.
    virtual int dataSync(int fd) = 0;
};

/// The system's own flush, from the platform's files (platform_linux_files.cpp on Linux).
FileSync& systemFileSync();
