// Thread identity and the thread-end notification.
#pragma once

#include <cstdint>

namespace plat {

// The calling thread's identifier, as the system numbers threads.
std::uint32_t currentThreadId();

// Handler run on a thread that ends, once per thread that called
// watchCurrentThread(), like a library's thread-detach notification.
using ThreadEndHandler = void (*)();
void setThreadEndHandler(ThreadEndHandler handler);
// Makes sure the calling thread reports its end to the handler. Cheap after
// the first call on a thread.
void watchCurrentThread();

} // namespace plat
