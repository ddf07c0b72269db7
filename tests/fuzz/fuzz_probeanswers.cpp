// The probe layer reading whatever a probe answers: the open with its
// firmware check and download, then every probe command. The input is the
// probe's whole answer stream; when it runs out, reads time out (in virtual
// time) and the link falls silent.
#include "api.h"
#include "cpu_state.h"
#include "firmware.h"
#include "link.h"
#include "probe.h"

#include "plat/clock.h"
#include "plat/device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

class StreamProbe final : public plat::DeviceProvider {
public:
    void reset(const std::uint8_t *data, std::size_t size) {
        data_ = data;
        size_ = size;
        pos_ = 0;
    }
    std::unique_ptr<plat::DeviceFile> open(const char *name) override {
        if (std::string(name).rfind("\\\\.\\halvornquidor", 0) != 0) {
            return nullptr;
        }
        return std::make_unique<File>(*this);
    }

private:
    class File final : public plat::DeviceFile {
    public:
        explicit File(StreamProbe &p) : p_(p) {}
        bool startWrite(const std::uint8_t *, std::uint32_t size, plat::IoCompletion &io) override {
            io.complete(size);
            return true;
        }
        bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
            const std::size_t n = std::min<std::size_t>(size, p_.size_ - p_.pos_);
            if (n == 0) {
                io.markPending(); // nothing more: the transport times out
                pending_ = &io;
                return true;
            }
            std::memcpy(data, p_.data_ + p_.pos_, n);
            p_.pos_ += n;
            io.complete(static_cast<std::uint32_t>(n));
            return true;
        }
        void cancelIo() override {
            if (pending_ != nullptr) {
                pending_->cancel();
                pending_ = nullptr;
            }
        }

    private:
        StreamProbe &p_;
        plat::IoCompletion *pending_ = nullptr;
    };

    const std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

void quiet(const char *) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static plat::VirtualClock clock;
    static StreamProbe probe;
    static bool registered = [] {
        plat::setClock(&clock);
        plat::registerDeviceProvider(&probe);
        return true;
    }();
    (void)registered;
    probe.reset(data, size);

    LINK_ClearCommError();
    if (FERROX_Open(nullptr, quiet) == 0) {
        FERROX_HW_STATUS st;
        FERROX_EMU_GetHWStatus(&st);
        FERROX_EMU_GetHWVersion();
        // A small buffer inside a larger one: nothing may land past it.
        char fw[64];
        std::memset(fw, 0x5A, sizeof fw);
        FERROX_EMU_GetFirmwareString(fw, 16);
        for (std::size_t i = 16; i < sizeof fw; ++i) {
            if (fw[i] != 0x5A) {
                __builtin_trap();
            }
        }
        FERROX_EMU_GetSN();
        U8 config[256];
        FERROX_EMU_ReadConfigMem(config, 0, 256);
        FERROX_EMU_WriteConfigMem(config, 4, 1);
        FERROX_EMU_SetUSBAddr(1);
        U16 items[300];
        for (U32 n : {U32{0}, U32{3}, U32{300}}) {
            const int r = FERROX_EMU_ReadUserBuffer(n, items);
            if (r > static_cast<int>(n)) {
                __builtin_trap();
            }
        }
        FERROX_EMU_ReadSystemBuffer(2, items);
        FERROX_EMU_ControlSystemBuffer(EMU_CMD_BUFFER_GET_CNT, 0);
        FERROX_EMU_SwitchInterface(1);
        FERROX_EMU_SwitchPower(1);
        FERROX_EMU_SwitchPower(0);
        FERROX_EMU_SwitchPowerEx(0);
        char reply[32];
        FERROX_EMU_ExecCommand("UpdateFirmware SetSN=12", reply, sizeof reply);
        API_Lock("fuzz");
        CPU_PowerDownOnClose();
        EMU_ReadCaps();
        API_Unlock();
    }
    FERROX_Close();
    return 0;
}
