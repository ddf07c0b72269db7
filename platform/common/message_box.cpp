#include "plat/message_box.h"

#include "system.h"

#include <atomic>

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
    system::showMessageBox(text != nullptr ? text : "", caption != nullptr ? caption : "", icon);
}

void setMessageBoxHook(MessageBoxHook hook) {
    hookInForce.store(hook);
}

} // namespace plat
