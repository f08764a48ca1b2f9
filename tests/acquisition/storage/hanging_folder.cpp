// SPDX-License-Identifier: GPL-3.0-or-later
// A folder that can stop answering: a FUSE passthrough to a real folder, for the storage
// tests. Every call waits while the folder hangs, as calls to a hard-mounted share whose
// server is gone do; flushes and writes can be made slow, as on a worn SD card; and the
// folder can be full.
//
//   hanging_folder <backing folder> <mount point>
//
// Commands on standard input, one a line: "hang", "answer", "fsync <ms>", "write <ms>" (each
// write call waits that long first), "full" (writes, creates and new folders fail with
// ENOSPC), "room" (they work again). It says "ready" on standard output once mounted, "done
// <command>" once a command holds, and unmounts when standard input ends.

#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

std::string g_backing;
std::mutex g_mutex;
std::condition_variable g_answering;
bool g_hung = false;
std::atomic<int> g_fsyncMs{0};
std::atomic<int> g_writeMs{0};
std::atomic<bool> g_full{false};
fuse* g_fuse = nullptr;
std::string g_mountPoint;

void gate() {
    std::unique_lock lock(g_mutex);
    g_answering.wait(lock, [] { return !g_hung; });
}

// Waits `ms` as it stands, so that setting it to 0 ends a wait under way: a killed logger's
// slow flush need not hold up the test.
void slowly(const std::atomic<int>& ms) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms.load()))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::string real(const char* path) {
    return g_backing + path;
}

int result(int r) {
    return r < 0 ? -errno : 0;
}

int fsGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
    gate();
    return result(fi ? ::fstat(static_cast<int>(fi->fh), st) : ::lstat(real(path).c_str(), st));
}

int fsAccess(const char* path, int mask) {
    gate();
    return result(::access(real(path).c_str(), mask));
}

int fsReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    gate();
    DIR* dir = ::opendir(real(path).c_str());
    if (!dir)
        return -errno;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0)
            break;
    }
    ::closedir(dir);
    return 0;
}

int fsOpen(const char* path, fuse_file_info* fi) {
    gate();
    const int fd = ::open(real(path).c_str(), fi->flags);
    if (fd < 0)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fsCreate(const char* path, mode_t mode, fuse_file_info* fi) {
    gate();
    if (g_full)
        return -ENOSPC;
    const int fd = ::open(real(path).c_str(), fi->flags | O_CREAT, mode);
    if (fd < 0)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fsRead(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    gate();
    const ssize_t n = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int fsWrite(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    gate();
    if (g_full)
        return -ENOSPC;
    slowly(g_writeMs);
    // A file opened with O_APPEND appends whatever the offset.
    const ssize_t n = ::pwrite(static_cast<int>(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int fsFlush(const char*, fuse_file_info*) {
    gate();
    return 0;
}

int fsRelease(const char*, fuse_file_info* fi) {
    ::close(static_cast<int>(fi->fh));
    return 0;
}

void slowFlush() {
    gate();
    slowly(g_fsyncMs);
}

int fsFsync(const char*, int dataOnly, fuse_file_info* fi) {
    slowFlush();
    const int fd = static_cast<int>(fi->fh);
    return result(dataOnly ? ::fdatasync(fd) : ::fsync(fd));
}

int fsFsyncdir(const char*, int, fuse_file_info*) {
    slowFlush();
    return 0;
}

int fsTruncate(const char* path, off_t size, fuse_file_info* fi) {
    gate();
    return result(fi ? ::ftruncate(static_cast<int>(fi->fh), size)
                     : ::truncate(real(path).c_str(), size));
}

int fsMkdir(const char* path, mode_t mode) {
    gate();
    if (g_full)
        return -ENOSPC;
    return result(::mkdir(real(path).c_str(), mode));
}

int fsUnlink(const char* path) {
    gate();
    return result(::unlink(real(path).c_str()));
}

int fsRmdir(const char* path) {
    gate();
    return result(::rmdir(real(path).c_str()));
}

int fsRename(const char* from, const char* to, unsigned int) {
    gate();
    return result(::rename(real(from).c_str(), real(to).c_str()));
}

int fsChmod(const char* path, mode_t mode, fuse_file_info*) {
    gate();
    return result(::chmod(real(path).c_str(), mode));
}

int fsUtimens(const char* path, const timespec times[2], fuse_file_info*) {
    gate();
    return result(::utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int fsStatfs(const char* path, struct statvfs* st) {
    gate();
    return result(::statvfs(real(path).c_str(), st));
}

void* fsInit(fuse_conn_info*, fuse_config* config) {
    // Every call reaches us, so a hang holds every call.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    std::printf("ready\n");
    std::fflush(stdout);
    return nullptr;
}

void obey() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "hang" || line == "answer") {
            const std::lock_guard lock(g_mutex);
            g_hung = line == "hang";
            g_answering.notify_all();
        } else if (line.rfind("fsync ", 0) == 0) {
            g_fsyncMs = std::atoi(line.c_str() + 6);
        } else if (line.rfind("write ", 0) == 0) {
            g_writeMs = std::atoi(line.c_str() + 6);
        } else if (line == "full" || line == "room") {
            g_full = line == "full";
        }
        std::printf("done %s\n", line.c_str());
        std::fflush(stdout);
    }
    {
        const std::lock_guard lock(g_mutex);
        g_hung = false;
        g_answering.notify_all();
    }
    // Nothing wakes the loop but a request or the end of the mount.
    fuse_exit(g_fuse);
    ::umount2(g_mountPoint.c_str(), MNT_DETACH);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <backing folder> <mount point>\n", argv[0]);
        return 2;
    }
    char* backing = ::realpath(argv[1], nullptr);
    if (!backing) {
        std::perror(argv[1]);
        return 2;
    }
    g_backing = backing;
    std::free(backing);

    fuse_operations ops{};
    ops.getattr = fsGetattr;
    ops.access = fsAccess;
    ops.readdir = fsReaddir;
    ops.open = fsOpen;
    ops.create = fsCreate;
    ops.read = fsRead;
    ops.write = fsWrite;
    ops.flush = fsFlush;
    ops.release = fsRelease;
    ops.fsync = fsFsync;
    ops.fsyncdir = fsFsyncdir;
    ops.truncate = fsTruncate;
    ops.mkdir = fsMkdir;
    ops.unlink = fsUnlink;
    ops.rmdir = fsRmdir;
    ops.rename = fsRename;
    ops.chmod = fsChmod;
    ops.utimens = fsUtimens;
    ops.statfs = fsStatfs;
    ops.init = fsInit;

    char* fuseArgv[] = {argv[0], const_cast<char*>("-o"),
                        const_cast<char*>("default_permissions,allow_other")};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    g_fuse = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!g_fuse || fuse_mount(g_fuse, argv[2]) != 0) {
        std::fprintf(stderr, "cannot mount %s\n", argv[2]);
        return 1;
    }
    g_mountPoint = argv[2];
    std::thread commands(obey);
    commands.detach();
    fuse_loop_config config{};
    config.max_idle_threads = 16; // calls in parallel: one may hang while others answer
    const int status = fuse_loop_mt(g_fuse, &config);
    fuse_unmount(g_fuse);
    fuse_destroy(g_fuse);
    return status == 0 ? 0 : 1;
}
