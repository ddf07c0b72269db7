#include "plat/message_box.h"

#include <atomic>
#include <cstdio>

namespace plat {
namespace {
std::atomic<MessageBoxHook> hookInForce{nullptr};
}

void messageBox(const char *text, const char *caption, MessageIcon icon) {
    MessageBoxHook h = hookInForce.load();
    if (h != nullptr) {
        h(text, caption, icon);
        return;
    }
    (void)std::fprintf(stderr, "[%s] %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
    (void)std::fflush(stderr);
}

void setMessageBoxHook(MessageBoxHook hook) {
    hookInForce.store(hook);
}

} // namespace plat
