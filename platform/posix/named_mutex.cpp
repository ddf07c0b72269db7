#include "plat/named_mutex.h"

#include "../common/system.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace plat {

// Lives in a shared memory object; the creator initialises it and then
// publishes `ready`, the others wait for that before touching the mutex.
struct NamedMutex::Shared {
    std::atomic<std::uint32_t> ready;
    pthread_mutex_t mutex;
};

namespace {

constexpr std::uint32_t kReady = 0x52454459; // "REDY"

bool initMutex(pthread_mutex_t *m) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

void napBriefly() {
    timespec ts{0, 1000000}; // 1 ms, real time: another process is initialising
    nanosleep(&ts, nullptr);
}

// The user's own object, which nobody else can hold or write: a Windows
// named mutex lives in its user's logon session the same way.
bool ownedByUs(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0077) == 0;
}

} // namespace

bool NamedMutex::open(const char *name) {
    close();
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    const std::string shmName = std::string("/") + name + "." + std::to_string(::geteuid());
    bool creator = true;
    int fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        creator = false;
        fd = ::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        return false;
    }
    if (!ownedByUs(fd)) {
        // Someone else made this name (or opened it up to others): using it
        // would let them hold every call of ours, or overwrite the mutex.
        ::close(fd);
        return false;
    }
    if (creator) {
        if (::ftruncate(fd, sizeof(Shared)) != 0) {
            ::close(fd);
            ::shm_unlink(shmName.c_str());
            return false;
        }
    } else {
        // The creator may not have sized the object yet.
        struct stat st {};
        for (int i = 0; i < 2000 && ::fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(sizeof(Shared));
             ++i) {
            napBriefly();
        }
        if (st.st_size < static_cast<off_t>(sizeof(Shared)) && ::ftruncate(fd, sizeof(Shared)) != 0) {
            ::close(fd);
            return false;
        }
    }
    void *p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        return false;
    }
    auto *s = static_cast<Shared *>(p);
    if (creator) {
        if (!initMutex(&s->mutex)) {
            ::munmap(p, sizeof(Shared));
            return false;
        }
        s->ready.store(kReady, std::memory_order_release);
    } else {
        // A creator that died before publishing would leave it unusable for
        // good; after two seconds take over the initialisation ourselves.
        int waited = 0;
        while (s->ready.load(std::memory_order_acquire) != kReady && waited < 2000) {
            napBriefly();
            ++waited;
        }
        if (s->ready.load(std::memory_order_acquire) != kReady) {
            if (!initMutex(&s->mutex)) {
                ::munmap(p, sizeof(Shared));
                return false;
            }
            s->ready.store(kReady, std::memory_order_release);
        }
    }
    shared_ = s;
    return true;
}

void NamedMutex::close() {
    if (shared_ != nullptr) {
        // The object stays for the other processes, like a named kernel
        // object that others still hold.
        ::munmap(shared_, sizeof(Shared));
        shared_ = nullptr;
    }
}

void NamedMutex::lockUnderlying() {
    int rc = pthread_mutex_trylock(&shared_->mutex);
    if (rc == EBUSY) {
        system::runBeforeWaitHook();
        rc = pthread_mutex_lock(&shared_->mutex);
    }
    if (rc == EOWNERDEAD) {
        // The previous owner died holding it: an abandoned mutex, now ours.
        pthread_mutex_consistent(&shared_->mutex);
    }
}

void NamedMutex::unlockUnderlying() {
    pthread_mutex_unlock(&shared_->mutex);
}

} // namespace plat
