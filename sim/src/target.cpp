#include "sim/target.h"

#include "sim/checksums.h"
#include "sim/protocol.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint16_t kSoftwareBreakpointFlag = 0x8;
constexpr std::uint16_t kBrownOutWord = 0x0001;
constexpr std::size_t kEromPages = Target::kEromWords * 2 / Target::kPageBytes;

constexpr std::array<std::uint16_t, 8> kEraseCode = kEraseAccessCode;
constexpr std::array<std::uint16_t, 8> kIoTestCode = kIoTestAccessCode;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0;
}

// Number of words a PF-bits command carries after its two header words:
// whole 16-bit words that hold Offset + NumBits bits, counted as the host does.
std::size_t pfBitsWords(std::uint16_t control) {
    const unsigned total = (static_cast<unsigned>(control) >> 12) + (control & 0xFFFu);
    unsigned bytes = total / 8;
    if (total % 16 != 0) {
        bytes += (bytes % 2 != 0) ? 1 : 2;
    }
    return bytes / 2;
}

} // namespace

std::array<std::uint16_t, 8> keyWords(const std::string &hexKey) {
    std::array<std::uint16_t, 8> words{};
    for (std::size_t group = 0; group < 8; ++group) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t pos = group * 4 + i;
            value = value << 4 | static_cast<unsigned>(pos < hexKey.size() ? hexDigit(hexKey[pos]) : 0);
        }
        words[7 - group] = static_cast<std::uint16_t>(value);
    }
    return words;
}

Target::Target(const TargetOptions &options)
    : options_(options), unprotectWords_(keyWords(options.unprotectKey)), mode_(options.unprotectedMode),
      data_(kDataBytes, 0), eeprom_(kEepromBytes, 0xFF), erom_(kEromWords, 0xFFFF), ulp_(kUlpPages, 0) {
    params_.reserve(40);
    fifo_.reserve(300);
    resetCpu();
}

void Target::resetCpu() {
    regs_.fill(0);
    regs_[0] = kBootPc;
    regs_[9] = static_cast<std::uint16_t>(kDataBytes); // stack grows down from the end of DATA
}

void Target::clearLink() {
    fifo_.clear();
    fifoRead_ = 0;
    haltPending_ = false;
    haltNoteRead_ = 0;
    commandPending_ = false;
    params_.clear();
    awaiting_ = Awaiting::None;
}

void Target::powerUp() {
    if (state_ != State::Unpowered) {
        return;
    }
    resetCpu();
    clearLink();
    ioTest_ = false;
    state_ = State::Running;
}

void Target::powerLost() {
    clearLink();
    ioTest_ = false;
    state_ = State::Unpowered;
}

void Target::enterPowerOffState() {
    if (powered()) {
        clearLink();
        state_ = State::PowerOff;
    }
}

void Target::setProtected(bool on) {
    mode_ = on ? 4 : options_.unprotectedMode;
}

std::uint16_t Target::deviceStatus() const {
    unsigned word = devstat::kValid | mode_;
    word |= static_cast<unsigned>(watchpoints_) << devstat::kWatchpShift;
    if (state_ == State::Monitor) {
        word |= devstat::kMonitor;
    }
    return static_cast<std::uint16_t>(word);
}

bool Target::popAnswer(std::uint16_t &word, bool &refusal) {
    if (haltPending_) {
        word = haltNote_[static_cast<std::size_t>(haltNoteRead_++)];
        refusal = false;
        if (haltNoteRead_ == 2) {
            haltPending_ = false;
            haltNoteRead_ = 0;
        }
        return true;
    }
    if (fifoRead_ >= fifo_.size()) {
        return false;
    }
    word = fifo_[fifoRead_].value;
    refusal = fifo_[fifoRead_].refusal;
    if (++fifoRead_ == fifo_.size()) {
        fifo_.clear();
        fifoRead_ = 0;
    }
    return true;
}

void Target::advance(std::uint64_t steps) {
    if (state_ != State::Running || steps == 0) {
        return;
    }
    // Distance to the nearest breakpoint ahead; one at the current PC is left
    // behind first, as the CPU does when it resumes from it.
    std::uint64_t best = 0x10000;
    const Breakpoint *hit = nullptr;
    for (const Breakpoint &bp : bps_) {
        if (bp.flags == 0) {
            continue;
        }
        std::uint64_t distance = static_cast<std::uint16_t>(bp.address - regs_[0]);
        if (distance == 0) {
            distance = 0x10000;
        }
        if (distance < best || hit == nullptr) {
            best = distance;
            hit = &bp;
        }
    }
    if (hit != nullptr && best <= steps) {
        regs_[0] = hit->address;
        state_ = State::Monitor;
        haltNote_ = {static_cast<std::uint16_t>(
                         (hit->flags & kSoftwareBreakpointFlag) != 0 ? status::kSwbpHit : status::kHwbpHit),
                     regs_[0]};
        haltPending_ = true;
        haltNoteRead_ = 0;
        return;
    }
    regs_[0] = static_cast<std::uint16_t>(regs_[0] + (steps & 0xFFFF));
}

bool Target::entry(std::uint16_t p) {
    if (!powered()) {
        return false;
    }
    clearLink();
    awaiting_ = p == 1 ? Awaiting::BootEntry : Awaiting::BreakEntry;
    return true;
}

bool Target::resetEntry() {
    if (!powered()) {
        return false;
    }
    clearLink();
    awaiting_ = Awaiting::ResetEntry;
    return true;
}

std::uint8_t Target::command(std::uint16_t code, std::uint16_t mode) {
    if ((mode & cmd::kModeTx) == 0 || !listening()) {
        return kProbeOk; // never reaches the target
    }
    const bool hadPending = commandPending_;
    awaiting_ = Awaiting::None;
    fifo_.clear();
    fifoRead_ = 0;
    params_.clear();
    if (code == cmd::kAbort) {
        commandPending_ = false;
        if (hadPending) {
            answer(status::kAbort);
        }
        return kProbeOk;
    }
    code_ = code;
    commandPending_ = true;
    if (paramsNeeded() == 0) {
        execute();
    }
    return kProbeOk;
}

std::uint8_t Target::data(std::uint16_t word) {
    if (awaiting_ != Awaiting::None && powered()) { // the entry word also wakes a sleeping target
        const Awaiting what = awaiting_;
        awaiting_ = Awaiting::None;
        if (word != kEntryWord) {
            return kProbeOk; // a wrong entry word is ignored: the target stays as it was
        }
        if (what == Awaiting::BootEntry || what == Awaiting::ResetEntry) {
            resetCpu();
        }
        state_ = State::Monitor;
        if (what == Awaiting::ResetEntry) {
            answer(status::kOk);
        }
        answer(what == Awaiting::BreakEntry ? status::kStop : status::kBootMonitor);
        answer(regs_[0]);
        return kProbeOk;
    }
    if (!listening()) {
        return kProbeOk;
    }
    if (!commandPending_) {
        // The exit code is acknowledged in and out of the I/O test mode.
        if (word == kIoTestExitCode) {
            ioTest_ = false;
            fifo_.clear();
            fifoRead_ = 0;
            answer(status::kOk);
        }
        return kProbeOk; // stray data words are dropped
    }
    params_.push_back(word);
    const std::uint8_t check = checkAddresses();
    if (check != kProbeOk) {
        commandPending_ = false;
        params_.clear();
        return check;
    }
    if (params_.size() >= paramsNeeded()) {
        execute();
    }
    return kProbeOk;
}

std::size_t Target::paramsNeeded() const {
    const std::size_t have = params_.size();
    switch (code_) {
    case cmd::kGetData:
    case cmd::kGetEeBytes:
    case cmd::kGetPfWords:
    case cmd::kGetUlpPages:
    case cmd::kSetRegs:
    case cmd::kSetBp:
    case cmd::kProgPfWord:
    case cmd::kCopyPage:
        return 2;
    case cmd::kSetData:
    case cmd::kProgEeBytes:
        return have < 2 ? 2 : 2 + (static_cast<std::size_t>(params_[1]) + 1) / 2;
    case cmd::kProgPfBits:
        return have < 2 ? 2 : 2 + pfBitsWords(params_[1]);
    case cmd::kProgPfPage:
        return 33;
    case cmd::kProgUlpPage:
    case cmd::kSetBitField:
        return 3;
    case cmd::kProgUlpBytes:
        return 4;
    case cmd::kErase:
    case cmd::kUnprotect:
    case cmd::kIoTest:
        return 8;
    case cmd::kCalcSign:
        return 1;
    default:
        return 0;
    }
}

// The probe looks at the address words of memory commands as they pass and
// stops the request itself when they leave the target's memories.
std::uint8_t Target::checkAddresses() const {
    const std::size_t have = params_.size();
    const auto p = [this](std::size_t i) { return static_cast<std::size_t>(params_[i]); };
    switch (code_) {
    case cmd::kGetData:
    case cmd::kSetData:
        return have == 2 && p(0) + p(1) > kDataBytes ? kProbeDataAddress : kProbeOk;
    case cmd::kGetEeBytes:
    case cmd::kProgEeBytes:
        return have == 2 && p(0) + p(1) > kEepromBytes ? kProbeEepromAddress : kProbeOk;
    case cmd::kGetPfWords:
        return have == 2 && p(0) + p(1) > kEromWords ? kProbeEromAddress : kProbeOk;
    case cmd::kProgPfWord:
        return have == 1 && p(0) >= kEromWords ? kProbeEromAddress : kProbeOk;
    case cmd::kProgPfPage:
        return have == 1 && p(0) + kPageBytes / 2 > kEromWords ? kProbeEromAddress : kProbeOk;
    case cmd::kCopyPage:
        return have >= 1 && p(have - 1) >= kEromPages ? kProbeEromAddress : kProbeOk;
    case cmd::kProgPfBits:
        return have == 2 && p(0) + pfBitsWords(params_[1]) > kEromWords ? kProbeEromAddress : kProbeOk;
    default:
        return kProbeOk;
    }
}

bool Target::programFails() {
    if (progFailures_ == 0) {
        return false;
    }
    if (progFailures_ > 0) {
        --progFailures_;
    }
    return true;
}

std::uint16_t Target::brownOutWord() {
    if (brownOuts_ == 0) {
        return 0;
    }
    if (brownOuts_ > 0) {
        --brownOuts_;
    }
    return kBrownOutWord;
}

bool Target::keyMatches(const std::array<std::uint16_t, 8> &expected) const {
    return std::equal(expected.begin(), expected.end(), params_.begin(), params_.begin() + 8);
}

void Target::execute() {
    commandPending_ = false;
    const std::uint16_t code = code_;

    if (state_ == State::Running) {
        switch (code) {
        case cmd::kStop:
            state_ = State::Monitor;
            answer(status::kStop);
            answer(regs_[0]);
            break;
        case cmd::kGetDevStat:
            answer(deviceStatus());
            break;
        case cmd::kClrWatchp:
            watchpoints_ = 0;
            answer(status::kOk);
            break;
        default:
            if ((code & 0xFF00) == cmd::kSetBaudRate && (code & 0xFF) <= 1) {
                linkSpeed_ = static_cast<std::uint8_t>(code & 0xFF);
                answer(status::kOk);
            } else {
                refuse(status::kCmdError); // the monitor is not listening
            }
        }
        params_.clear();
        return;
    }

    // Commands a protected device refuses: everything that reads or changes
    // memory, registers or execution state.
    const bool guarded = code == cmd::kTrace || code == cmd::kGetData || code == cmd::kSetData ||
                         code == cmd::kGetRegs || code == cmd::kSetRegs || code == cmd::kSetBp ||
                         code == cmd::kProgPfWord || code == cmd::kProgPfPage || code == cmd::kProgEeBytes ||
                         code == cmd::kProgUlpPage || code == cmd::kGetUlpPages || code == cmd::kGetEeBytes ||
                         code == cmd::kGetPfWords || code == cmd::kProgUlpBytes || code == cmd::kProgPfBits ||
                         code == cmd::kIoTest || code == cmd::kSetBitField || code == cmd::kCopyPage;
    if (guarded && isProtected()) {
        refuse(status::kCmdError);
        params_.clear();
        return;
    }

    const auto p = [this](std::size_t i) { return params_[i]; };
    switch (code) {
    case cmd::kRun:
        state_ = State::Running;
        answer(status::kOk);
        break;
    case cmd::kTrace:
        regs_[0] = static_cast<std::uint16_t>(regs_[0] + 1);
        answer(status::kOk);
        answer(status::kHwbpHit);
        answer(regs_[0]);
        break;
    case cmd::kGetData:
        readBytes(data_, false);
        break;
    case cmd::kGetEeBytes:
        readBytes(eeprom_, true);
        break;
    case cmd::kSetData:
        writeBytes(data_, false);
        break;
    case cmd::kProgEeBytes:
        writeBytes(eeprom_, true);
        break;
    case cmd::kGetPfWords:
        readEromWords();
        break;
    case cmd::kGetRegs:
        answer(status::kOk);
        answer(kRegisterCount);
        for (std::uint16_t r : regs_) {
            answer(r);
        }
        break;
    case cmd::kSetRegs:
        if (p(0) >= kRegisterCount) {
            refuse(status::kParameter);
        } else {
            regs_[p(0)] = p(1);
            answer(status::kOk);
        }
        break;
    case cmd::kSetBp: {
        const unsigned number = p(0) & 0xFu;
        const auto flags = static_cast<std::uint8_t>((p(0) >> 4) & 0xFu);
        if (number >= kBreakpointCount) {
            refuse(status::kParameter);
        } else {
            bps_[number] = flags == 0 ? Breakpoint{} : Breakpoint{p(1), flags};
            answer(status::kOk);
        }
        break;
    }
    case cmd::kProgPfWord:
        if (programFails()) {
            refuse(status::kNvError);
        } else {
            erom_[p(0)] = p(1);
            answer(status::kOk);
        }
        break;
    case cmd::kProgPfPage:
        if (p(0) % (kPageBytes / 2) != 0) {
            refuse(status::kParameter);
        } else if (programFails()) {
            refuse(status::kNvError);
        } else {
            std::copy(params_.begin() + 1, params_.begin() + 33, erom_.begin() + p(0));
            answer(status::kOk);
        }
        break;
    case cmd::kProgUlpPage:
        if (p(0) >= kUlpPages) {
            refuse(status::kParameter);
        } else if (programFails()) {
            refuse(status::kNvError);
        } else {
            ulp_[p(0)] = static_cast<std::uint32_t>(p(2)) << 16 | p(1);
            answer(status::kOk);
        }
        break;
    case cmd::kProgUlpBytes:
        // Mask bit i selects byte i of the page, bit 0 the least significant.
        if (p(0) >= kUlpPages || p(1) > 0xF) {
            refuse(status::kParameter);
        } else if (programFails()) {
            refuse(status::kNvError);
        } else {
            const std::uint32_t value = static_cast<std::uint32_t>(p(2)) << 16 | p(3);
            std::uint32_t mask = 0;
            for (unsigned b = 0; b < 4; ++b) {
                if ((p(1) >> b & 1u) != 0) {
                    mask |= 0xFFu << (8 * b);
                }
            }
            ulp_[p(0)] = (ulp_[p(0)] & ~mask) | (value & mask);
            answer(status::kOk);
        }
        break;
    case cmd::kGetUlpPages:
        if (static_cast<std::size_t>(p(0)) + p(1) > kUlpPages) {
            refuse(status::kParameter);
        } else {
            answer(status::kOk);
            for (std::size_t i = 0; i < p(1); ++i) {
                const std::uint32_t v = ulp_[p(0) + i];
                answer(static_cast<std::uint16_t>(v & 0xFFFF));
                answer(static_cast<std::uint16_t>(v >> 16));
            }
        }
        break;
    case cmd::kCopyPage:
        if (programFails()) {
            refuse(status::kNvError);
        } else {
            const std::size_t words = kPageBytes / 2;
            std::copy_n(erom_.begin() + static_cast<std::ptrdiff_t>(p(0) * words), words,
                        erom_.begin() + static_cast<std::ptrdiff_t>(p(1) * words));
            answer(status::kOk);
        }
        break;
    case cmd::kProgPfBits:
        progPfBits();
        break;
    case cmd::kSetBitField:
        setBitField();
        break;
    case cmd::kIoTest:
        if (keyMatches(kIoTestCode)) {
            ioTest_ = true;
            answer(status::kOk);
        } else {
            refuse(status::kParameter);
        }
        break;
    case cmd::kReset:
        resetCpu();
        answer(status::kBootMonitor);
        answer(regs_[0]);
        break;
    case cmd::kProtect:
        mode_ = 4;
        answer(status::kOk);
        break;
    case cmd::kUnprotect:
        if (keyMatches(unprotectWords_)) {
            mode_ = options_.unprotectedMode;
            answer(status::kOk);
        } else {
            refuse(status::kParameter);
        }
        break;
    case cmd::kErase:
        if (!keyMatches(kEraseCode)) {
            refuse(status::kParameter);
        } else {
            std::fill(erom_.begin(), erom_.end(), 0xFFFF);
            std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
            bps_ = {};
            mode_ = options_.unprotectedMode;
            answer(status::kOk);
        }
        break;
    case cmd::kCalcSign:
        calcSign();
        break;
    case cmd::kGetVersion: {
        const auto &items = versionItems();
        answer(static_cast<std::uint16_t>(items.size()));
        for (std::uint32_t item : items) {
            answer(static_cast<std::uint16_t>(item & 0xFFFF));
            answer(static_cast<std::uint16_t>(item >> 16));
        }
        break;
    }
    case cmd::kStop:
        answer(status::kStop);
        answer(regs_[0]);
        break;
    case cmd::kClrWatchp:
        watchpoints_ = 0;
        answer(status::kOk);
        break;
    case cmd::kGetDevStat:
        answer(deviceStatus());
        break;
    default:
        if ((code & 0xFF00) == cmd::kSetBaudRate) {
            if ((code & 0xFF) <= 1) {
                linkSpeed_ = static_cast<std::uint8_t>(code & 0xFF);
                answer(status::kOk);
            } else {
                refuse(status::kParameter);
            }
        } else {
            refuse(status::kCmdError);
        }
    }
    params_.clear();
}

void Target::readBytes(const std::vector<std::uint8_t> &mem, bool withBrownOut) {
    const std::size_t addr = params_[0];
    const std::size_t count = params_[1];
    answer(status::kOk);
    for (std::size_t i = 0; i < count; i += 2) {
        const unsigned lo = mem[addr + i];
        const unsigned hi = i + 1 < count ? mem[addr + i + 1] : 0u;
        answer(static_cast<std::uint16_t>(lo | hi << 8));
    }
    if (withBrownOut) {
        answer(brownOutWord());
    }
}

void Target::writeBytes(std::vector<std::uint8_t> &mem, bool eepromPage) {
    const std::size_t addr = params_[0];
    const std::size_t count = params_[1];
    if (eepromPage) {
        // EEPROM programs within one 64-byte page per command.
        if (count > kPageBytes || (count > 0 && addr / kPageBytes != (addr + count - 1) / kPageBytes)) {
            refuse(status::kParameter);
            return;
        }
        if (programFails()) {
            refuse(status::kNvError);
            return;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t word = params_[2 + i / 2];
        mem[addr + i] = static_cast<std::uint8_t>(i % 2 == 0 ? word & 0xFF : word >> 8);
    }
    answer(status::kOk);
}

void Target::readEromWords() {
    const std::size_t addr = params_[0];
    const std::size_t count = params_[1];
    answer(status::kOk);
    for (std::size_t i = 0; i < count; ++i) {
        answer(erom_[addr + i]);
    }
    answer(brownOutWord());
}

// Bits Offset .. Offset + NumBits - 1 of the run starting at bit 0 of the
// addressed word take the same bits of the data words; the rest stay.
void Target::progPfBits() {
    const std::size_t addr = params_[0];
    const unsigned offset = params_[1] >> 12;
    const unsigned count = params_[1] & 0xFFFu;
    if (programFails()) {
        refuse(status::kNvError);
        return;
    }
    for (unsigned bit = offset; bit < offset + count; ++bit) {
        const std::size_t word = bit / 16;
        const unsigned mask = 1u << (bit % 16);
        std::uint16_t &cell = erom_[addr + word];
        cell = static_cast<std::uint16_t>((cell & ~mask) | (params_[2 + word] & mask));
    }
    answer(status::kOk);
}

// A bit field inside the 16-bit DATA word at a byte address.
void Target::setBitField() {
    const std::size_t addr = params_[0];
    const unsigned position = params_[1] & 0xFu;
    const unsigned width = (params_[1] >> 4) & 0xFu;
    if (addr + 1 >= kDataBytes || width == 0 || position + width > 16) {
        refuse(status::kParameter);
        return;
    }
    const unsigned mask = ((1u << width) - 1u) << position;
    unsigned word = data_[addr] | static_cast<unsigned>(data_[addr + 1]) << 8;
    word = (word & ~mask) | ((static_cast<unsigned>(params_[2]) << position) & mask);
    data_[addr] = static_cast<std::uint8_t>(word & 0xFF);
    data_[addr + 1] = static_cast<std::uint8_t>(word >> 8);
    answer(status::kOk);
}

bool Target::signature(std::uint16_t instance, std::uint32_t &value) const {
    SignatureRegister reg;
    const auto eromRange = [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) {
            reg.add(erom_[i]);
        }
    };
    switch (instance) {
    case 0:
        eromRange(0, kEromWords);
        break;
    case 1:
        value = imageSignature(eeprom_.data(), eeprom_.size());
        return true;
    case 2:
        for (std::uint32_t page : ulp_) {
            reg.add(static_cast<std::uint16_t>(page & 0xFFFF));
            reg.add(static_cast<std::uint16_t>(page >> 16));
        }
        break;
    case 3:
        value = imageSignature(data_.data(), data_.size());
        return true;
    case 4:
    case 5:
    case 6:
    case 7:
        eromRange((instance - 4u) * (kEromWords / 4), kEromWords / 4);
        break;
    default:
        return false;
    }
    value = reg.value();
    return true;
}

void Target::calcSign() {
    std::uint32_t value = 0;
    if (!signature(params_[0], value)) {
        refuse(status::kParameter);
        return;
    }
    answer(status::kOk);
    answer(static_cast<std::uint16_t>(value >> 16));
    answer(static_cast<std::uint16_t>(value & 0xFFFF));
}

const std::vector<std::uint32_t> &Target::versionItems() {
    // ID, then major and minor version bytes.
    static const std::vector<std::uint32_t> items = {
        0x0000u | 0x01u << 16 | 0x02u << 24, // hardware 01.02
        0x0001u | 0x02u << 16 | 0x10u << 24, // product 02.10
        0x0002u | 0x01u << 16 | 0x04u << 24, // CPU core 01.04
        0x1000u | 0x03u << 16 | 0x07u << 24, // system ROM 03.07
        0x1001u | 0x01u << 16 | 0x11u << 24, // boot loader 01.11
    };
    return items;
}

} // namespace sim
