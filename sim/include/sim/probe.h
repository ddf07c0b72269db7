// The Quidor probe: a byte stream in from the host, a byte stream out. Every
// probe command is parsed as soon as its last byte arrived, and its answer
// is queued whole (or cut, delayed or dropped by an injected fault).
#pragma once

#include "sim/target.h"

#include "plat/clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// The identification inside the library's firmware image.
inline constexpr const char *kLibraryBanner = "Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22";
// An older firmware of the probe: a connect replaces it.
inline constexpr const char *kOlderBanner = "Quidor Rev 1.8 Tamsa compiled Mar 02 2012 09:41:10";
// A firmware of another kind: does not identify as this probe's.
inline constexpr const char *kForeignBanner = "BOOTLOADER 0.9 waiting for image";

struct ProbeOptions {
    enum class Firmware { Library, Older, Foreign };

    std::uint32_t hwVersion = 22000;
    bool extendedCaps = false;        // capability bit 31 and the 32-byte 0xED answer
    bool shortFirmwareString = false; // answer 0x01 with 37 bytes instead of 112
    Firmware firmware = Firmware::Library;
    bool selfPowered = false; // the target has its own supply
    bool targetPresent = true;
    bool targetProtected = false;
    std::uint32_t serialNumber = 0xFFFFFFFF; // 0xFFFFFFFF = not programmed
    // Source of the items the target streams into both buffers: the
    // characters of this text, one per item, or a counter when it is empty.
    std::string bufferText;
    // Target instructions per millisecond of the platform clock (each probe
    // command counts as one more step).
    std::uint32_t stepsPerMs = 1;
    TargetOptions target;
};

enum class FaultKind { None, Short, Late, Nothing, Drop };

// Applies to answers of `command` (-1: any command): lets `skip` of them
// pass, then hits `count` of them (-1: every one from then on).
struct AnswerFault {
    FaultKind kind = FaultKind::None;
    int command = -1;
    int skip = 0;
    int count = 1;
    std::uint32_t lateMs = 0;
};

class Probe {
public:
    static constexpr std::size_t kConfigBytes = 256;
    static constexpr std::size_t kBufferCapacity = 4096;
    static constexpr std::size_t kMaxRequestWords = 257;
    static constexpr std::size_t kMaxAnswerWords = 256;
    static constexpr std::uint16_t kMillivolts3V = 3300;
    static constexpr std::uint16_t kMillivolts5V = 5000;
    static constexpr std::uint16_t kExternalMillivolts = 3300;
    // Supply decay after switch-off (a few 10 ms polls to fall below 800 mV).
    static constexpr std::uint32_t kDecayMillivoltsPerMs = 100;

    // The probe runs on `clock`: its late answers, supply decay and the
    // running target's progress are timed by it.
    explicit Probe(plat::Clock &clock, const ProbeOptions &options = {});
    plat::Clock &clock() const { return clock_; }

    // Host to probe; commands complete as their bytes arrive.
    void write(const std::uint8_t *data, std::size_t size);
    // Probe to host: up to `size` answer bytes that are due now.
    std::size_t read(std::uint8_t *data, std::size_t size);
    std::size_t available() const;
    // As read, but takes answers that are not due yet too; `due` is the tick
    // at which the last byte taken is due (the front completes late).
    std::size_t readAhead(std::uint8_t *data, std::size_t size, std::uint32_t &due);
    // The answer at the front of the queue, late ones too, one at a time (a
    // USB device sends each answer as its own bulk transfer): false when
    // nothing is queued, else the bytes it still holds and when it is due.
    bool peekAnswer(std::size_t &remaining, std::uint32_t &due) const;
    // Takes up to `size` bytes of the front answer only.
    std::size_t takeAnswer(std::uint8_t *data, std::size_t size);
    // True while an answer waits for its (late) time; `tick` is when.
    bool latePending(std::uint32_t &tick) const;
    // Set once by an answer hit by a Drop fault; the front then ends the
    // connection.
    bool takeDropRequest();
    // Forgets half-received commands and unread answers (a new connection).
    void resetStreams();

    // --- Scenario and faults ---------------------------------------------
    Target &target() { return target_; }
    const ProbeOptions &options() const { return options_; }
    void setAnswerFault(const AnswerFault &fault) { fault_ = fault; }
    void setRefuseFirmwareUpdate(bool on) { refuseUpdate_ = on; }
    void setTargetPresent(bool on);
    void setSelfPowered(bool on);
    std::array<std::uint8_t, kConfigBytes> &configMemory() { return config_; }
    std::array<std::uint8_t, kConfigBytes> &systemConfig() { return sysConfig_; }
    std::uint32_t serialNumber() const;
    const std::string &firmwareString() const { return firmwareText_; }
    const std::vector<std::uint8_t> &firmwareImage() const { return firmwareImage_; }
    // Installs a downloaded image as if the probe had written it (state files).
    void loadFirmwareImage(const std::vector<std::uint8_t> &image);
    bool supplyOn() const { return supplyOn_; }
    std::uint16_t targetMillivolts();
    std::uint8_t interfaceMode() const { return interfaceMode_; }
    std::uint32_t answerTimeout() const { return answerTimeout_; }
    // Every complete request (toProbe true) and every queued answer.
    void setTrace(std::function<void(bool toProbe, const std::uint8_t *, std::size_t)> trace) {
        trace_ = std::move(trace);
    }

private:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        // Where the firmware's writes of a multi-part answer end: on USB each
        // part is a transfer of its own.
        std::vector<std::size_t> pieces;
        std::size_t pos = 0;
        std::uint32_t due = 0;
    };
    struct StreamBuffer {
        bool sampling = false;
        std::deque<std::uint16_t> items;
        std::uint32_t counter = 0;
        std::size_t textPos = 0;
    };

    // Parses one command from the input; false when it is not complete yet.
    bool processOne();
    void emit(std::uint8_t command, const std::uint8_t *bytes, std::size_t size,
              const std::vector<std::size_t> &pieces = {});
    void emitByte(std::uint8_t command, std::uint8_t value) { emit(command, &value, 1); }
    void tick();
    void syncPower();
    void switchSupply(bool on, std::uint16_t millivolts);
    std::uint16_t selectedMillivolts() const;
    void targetRequest(const std::uint8_t *words, std::size_t count);
    static std::size_t requestedAnswerWords(const std::uint8_t *words, std::size_t count);
    void bufferCommand(std::uint8_t kind, std::uint8_t code, std::uint16_t count);
    void finishDownload(const std::uint8_t *image, std::size_t size);
    void setFirmwareText(const std::string &text);
    void sample(StreamBuffer &buffer, std::uint64_t steps);

    plat::Clock &clock_;
    ProbeOptions options_;
    Target target_;
    std::array<std::uint8_t, kConfigBytes> config_{};
    std::array<std::uint8_t, kConfigBytes> sysConfig_{};
    std::string firmwareText_;
    std::vector<std::uint8_t> firmwareImage_;

    std::vector<std::uint8_t> in_;
    std::size_t inPos_ = 0;
    bool expectImage_ = false;
    std::deque<Chunk> out_;
    std::vector<std::uint8_t> answer_;
    std::vector<std::size_t> answerPieces_;
    std::vector<std::uint16_t> collected_;

    AnswerFault fault_;
    bool dropRequested_ = false;
    bool refuseUpdate_ = false;
    bool targetPresent_;
    bool selfPowered_;

    bool supplyOn_ = false;
    std::uint16_t supplyMv_ = 0;
    std::uint16_t decayFromMv_ = 0;
    std::uint32_t offTick_ = 0;
    std::uint8_t interfaceMode_ = 1;
    std::uint32_t answerTimeout_ = 0;
    std::uint32_t lastTick_ = 0;
    StreamBuffer userBuffer_;
    StreamBuffer systemBuffer_;
    std::function<void(bool, const std::uint8_t *, std::size_t)> trace_;
};

} // namespace sim
