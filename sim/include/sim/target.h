// The Tamsa target as the probe sees it on its two-wire link: command words
// and data words go in, answer words come out of a FIFO that the probe's
// answer items drain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Probe status codes that the probe itself raises when it checks target
// addresses before passing a memory command on (trailer low byte).
enum : std::uint8_t {
    kProbeOk = 0,
    kProbeTimeout = 1,
    kProbeUnsupported = 8,
    kProbeEromAddress = 10,
    kProbeEepromAddress = 11,
    kProbeDataAddress = 15,
};

struct TargetOptions {
    // The unprotect key as the caller of the library types it: 32 hex digits.
    std::string unprotectKey = "00112233445566778899AABBCCDDEEFF";
    // Device mode when not protected (1 VIRGIN, 2 RETEST, 3 INIT, 5 TAMPERED).
    std::uint8_t unprotectedMode = 3;
};

class Target {
public:
    static constexpr std::size_t kDataBytes = 8192;
    static constexpr std::size_t kEepromBytes = 4096;
    static constexpr std::size_t kEromWords = 16384; // 512 pages of 64 bytes
    static constexpr std::size_t kUlpPages = 256;
    static constexpr std::size_t kPageBytes = 64;
    static constexpr std::uint16_t kEntryWord = 0x6B2D;
    static constexpr std::uint16_t kBootPc = 0x0000;
    static constexpr int kRegisterCount = 10;
    static constexpr int kBreakpointCount = 4;

    enum class State { Unpowered, Running, Monitor, PowerOff };

    struct Breakpoint {
        std::uint16_t address = 0;
        std::uint8_t flags = 0; // 0 = not set; flag bit 3 marks a software breakpoint
    };

    explicit Target(const TargetOptions &options = {});

    // --- Power, driven by the probe ------------------------------------
    // Supply rose above the target's threshold: it boots and runs its code.
    void powerUp();
    // Supply fell below the threshold: everything volatile is lost.
    void powerLost();
    bool powered() const { return state_ != State::Unpowered; }
    // Listens to the link: powered and not asleep in its power-off state.
    bool listening() const { return state_ == State::Running || state_ == State::Monitor; }

    // --- Link items, driven by the probe's request interpreter -----------
    // A command word with its mode; returns a probe status (kProbeOk or an
    // address check failure).
    std::uint8_t command(std::uint16_t code, std::uint16_t mode);
    // One data word; returns a probe status as above.
    std::uint8_t data(std::uint16_t word);
    // Entry pattern with parameter p (1: at power-up/boot, 8: break in).
    // True when the target acknowledges it (the item's own answer word).
    bool entry(std::uint16_t p);
    // Reset pattern; true when acknowledged.
    bool resetEntry();
    // Next answer word; false when the target has nothing more to send.
    // `refusal` tells that the word is a status sent in place of data.
    bool popAnswer(std::uint16_t &word, bool &refusal);

    // Lets a running target execute `steps` instructions (one word each).
    void advance(std::uint64_t steps);

    // --- Scenario and inspection ----------------------------------------
    State state() const { return state_; }
    void enterPowerOffState();
    std::uint16_t deviceStatus() const;
    std::uint8_t deviceMode() const { return mode_; }
    void setProtected(bool on);
    bool isProtected() const { return mode_ == 4; }
    void setWatchpoints(std::uint8_t bits) { watchpoints_ = static_cast<std::uint8_t>(bits & 0xF); }
    std::array<std::uint16_t, kRegisterCount> &registers() { return regs_; }
    const std::array<Breakpoint, kBreakpointCount> &breakpoints() const { return bps_; }
    bool ioTestMode() const { return ioTest_; }
    std::uint8_t linkSpeed() const { return linkSpeed_; }
    std::vector<std::uint8_t> &dataMemory() { return data_; }
    std::vector<std::uint8_t> &eeprom() { return eeprom_; }
    std::vector<std::uint16_t> &erom() { return erom_; }
    std::vector<std::uint32_t> &ulp() { return ulp_; }
    const std::vector<std::uint8_t> &dataMemory() const { return data_; }
    const std::vector<std::uint8_t> &eeprom() const { return eeprom_; }
    const std::vector<std::uint16_t> &erom() const { return erom_; }
    const std::vector<std::uint32_t> &ulp() const { return ulp_; }

    // Faults: the next `count` programming commands fail with status 7, and
    // the next `count` EEPROM/EROM reads end with a brown-out word (-1 =
    // every one from now on, 0 = off).
    void injectProgramFailures(int count) { progFailures_ = count; }
    void injectBrownOuts(int count) { brownOuts_ = count; }

    // Signature of an instance as cmd::kCalcSign computes it; false for an
    // instance the target refuses.
    bool signature(std::uint16_t instance, std::uint32_t &value) const;
    // Version items: ID in bits 15..0, the two version bytes above.
    static const std::vector<std::uint32_t> &versionItems();

private:
    enum class Awaiting { None, BootEntry, BreakEntry, ResetEntry };

    void resetCpu();
    void clearLink();
    void answer(std::uint16_t word) { fifo_.push_back({word, false}); }
    void refuse(std::uint16_t status) { fifo_.push_back({status, true}); }
    std::size_t paramsNeeded() const;
    std::uint8_t checkAddresses() const;
    void execute();
    bool programFails();
    std::uint16_t brownOutWord();

    // Command bodies.
    void readBytes(const std::vector<std::uint8_t> &mem, bool withBrownOut);
    void writeBytes(std::vector<std::uint8_t> &mem, bool eepromPage);
    void readEromWords();
    void progPfBits();
    void setBitField();
    void calcSign();
    bool keyMatches(const std::array<std::uint16_t, 8> &expected) const;

    struct Out {
        std::uint16_t value;
        bool refusal;
    };

    TargetOptions options_;
    std::array<std::uint16_t, 8> unprotectWords_{};
    State state_ = State::Unpowered;
    std::uint8_t mode_;
    std::uint8_t watchpoints_ = 0;
    std::uint8_t linkSpeed_ = 0;
    bool ioTest_ = false;
    Awaiting awaiting_ = Awaiting::None;

    bool commandPending_ = false;
    std::uint16_t code_ = 0;
    std::vector<std::uint16_t> params_;

    std::vector<Out> fifo_;
    std::size_t fifoRead_ = 0;
    bool haltPending_ = false;
    std::array<std::uint16_t, 2> haltNote_{};
    int haltNoteRead_ = 0;

    std::array<std::uint16_t, kRegisterCount> regs_{};
    std::array<Breakpoint, kBreakpointCount> bps_{};
    std::vector<std::uint8_t> data_;
    std::vector<std::uint8_t> eeprom_;
    std::vector<std::uint16_t> erom_;
    std::vector<std::uint32_t> ulp_;
    int progFailures_ = 0;
    int brownOuts_ = 0;
};

// The eight words the library sends for a 32-digit key text, in wire order
// (last group of four digits first; non-hex characters count as 0).
std::array<std::uint16_t, 8> keyWords(const std::string &hexKey);

} // namespace sim
