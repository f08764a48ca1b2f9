#include "acquisition/file_sync.h"

#include <cerrno>
#include <unistd.h>

namespace {

class SystemFileSync final : public FileSync {
public:
    int dataSync(int fd) override { return ::fdatasync(fd) == 0 ? 0 : errno; }
};

} // namespace

FileSync& systemFileSync() {
    static SystemFileSync sync;
    return sync;
}
