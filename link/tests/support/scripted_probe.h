// A scripted probe behind the USB device names: it expects exact request
// bytes on the OUT pipe and answers exact bytes on the IN pipe, or answers
// short, late or not at all. It records what the library did.
#pragma once

#include "plat/device.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace ferrox_test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedProbe final : public plat::DeviceProvider {
public:
    enum class Reply { Full, Short, Late, None };

    // Serves "\\.\halvornquidor" (port 0) or "\\.\halvornquidor<port>" and
    // its two pipes; registers itself for its lifetime.
    explicit ScriptedProbe(int port = 0);
    ~ScriptedProbe() override;
    ScriptedProbe(const ScriptedProbe &) = delete;
    ScriptedProbe &operator=(const ScriptedProbe &) = delete;

    // The next write must carry `request`; the probe then answers `answer`:
    // whole, only its first `param` bytes (Short), after `param` ms (Late),
    // or never (None). An empty answer means no answer is due.
    void expect(Bytes request, Bytes answer, Reply reply = Reply::Full, std::uint32_t param = 0);
    // Unplugs or replugs the probe: unplugged, no name opens.
    void setPresent(bool present);
    // Every open takes this long on the platform clock (0 by default).
    void setOpenCost(std::uint32_t ms);

    // What happened, in order.
    std::vector<std::string> openedNames() const;
    std::vector<Bytes> writes() const;
    std::vector<std::uint32_t> readSizes() const;
    // Writes that did not match the script, as readable text.
    std::vector<std::string> mismatches() const;
    bool scriptDone() const;

    std::unique_ptr<plat::DeviceFile> open(const char *name) override;

    // Pipe side (called by the open pipe files).
    void onWrite(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io);
    void onRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io, plat::IoCompletion *&pending);
    void onCancel(plat::IoCompletion *&pending);

private:
    struct Step {
        Bytes request;
        Bytes answer;
        Reply reply;
        std::uint32_t param;
    };
    struct Pending {
        Bytes bytes;
        Reply reply;
        std::uint32_t param;
        std::size_t offset;
    };

    std::string base_;
    mutable std::mutex mutex_;
    bool present_ = true;
    std::uint32_t openCostMs_ = 0;
    std::deque<Step> script_;
    std::deque<Pending> answers_;
    std::vector<std::string> opened_;
    std::vector<Bytes> writes_;
    std::vector<std::uint32_t> readSizes_;
    std::vector<std::string> mismatches_;
};

std::string hex(const Bytes &b);

} // namespace ferrox_test
