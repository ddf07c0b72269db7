// Probe layer: connect and disconnect as far as the transport goes, and the
// buffer control command that the error reset sends.
#include "probe.h"

#include "api.h"
#include "link.h"

#include <cstring>

namespace {

U32 Caps[8] = {};
U8 ProbeUnusable = 0;

void clearProbeState() {
    std::memset(Caps, 0, sizeof Caps);
    ProbeUnusable = 0;
}

} // namespace

int ProbeConnect() {
    clearProbeState();
    // The error output goes in before the connect, so that the TCP/IP
    // transport's connect failure reaches the application on the first open.
    LINK_SetErrorSink(API_GetErrorOut());
    if (LINK_Connect() != 0) {
        return 1;
    }
    return 0;
}

void ProbeDisconnect() {
    clearProbeState();
    LINK_Disconnect();
}

U8 EMU_IsProbeUnusable() {
    return ProbeUnusable;
}

U32 EMU_GetCaps(int Word) {
    return Word >= 0 && Word < 8 ? Caps[Word] : 0;
}

int EMU_ControlBuffer(U8 Kind, U8 Code) {
    if (ProbeUnusable != 0 || LINK_HasCommError() != 0) {
        return -1;
    }
    const U8 request[2] = {Kind, Code};
    LINK_Write(request, 2);
    U8 answer[2] = {};
    if (LINK_Read(answer, 2) == 0) {
        return -1;
    }
    return answer[0] | (answer[1] << 8);
}
