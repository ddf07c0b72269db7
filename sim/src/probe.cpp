#include "sim/probe.h"

#include "sim/checksums.h"
#include "sim/protocol.h"

#include "plat/clock.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint32_t kVoltageSelectionVersion = 22000;
constexpr std::uint16_t kTargetThresholdMv = 1800;
constexpr std::size_t kBannerOffset = 0x50;
constexpr std::size_t kFirmwareStringLong = 112;
constexpr std::size_t kFirmwareStringShort = 37;

void put16(std::vector<std::uint8_t> &out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void put32(std::vector<std::uint8_t> &out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

bool isDue(std::uint32_t now, std::uint32_t due) {
    return static_cast<std::int32_t>(now - due) >= 0;
}

} // namespace

Probe::Probe(plat::Clock &clock, const ProbeOptions &options)
    : clock_(clock), options_(options), target_(options.target), targetPresent_(options.targetPresent),
      selfPowered_(options.selfPowered) {
    config_.fill(0xFF);
    config_[0] = 0;                            // USB address 0
    config_[config::kVoltageSelection] = 0xFF; // 3 V, not locked
    sysConfig_.fill(0xFF);
    for (std::size_t i = 0; i < 4; ++i) {
        sysConfig_[i] = static_cast<std::uint8_t>(options.serialNumber >> (8 * i));
    }
    switch (options.firmware) {
    case ProbeOptions::Firmware::Library:
        firmwareText_ = kLibraryBanner;
        break;
    case ProbeOptions::Firmware::Older:
        firmwareText_ = kOlderBanner;
        break;
    case ProbeOptions::Firmware::Foreign:
        firmwareText_ = kForeignBanner;
        break;
    }
    target_.setProtected(options.targetProtected);
    in_.reserve(1024);
    answer_.reserve(1024);
    collected_.reserve(kMaxAnswerWords);
    lastTick_ = clock_.tickMs();
    syncPower();
}

std::uint32_t Probe::serialNumber() const {
    return static_cast<std::uint32_t>(sysConfig_[0]) | static_cast<std::uint32_t>(sysConfig_[1]) << 8 |
           static_cast<std::uint32_t>(sysConfig_[2]) << 16 | static_cast<std::uint32_t>(sysConfig_[3]) << 24;
}

void Probe::setTargetPresent(bool on) {
    targetPresent_ = on;
    syncPower();
}

void Probe::setSelfPowered(bool on) {
    selfPowered_ = on;
    if (on) {
        supplyOn_ = false;
    }
    syncPower();
}

void Probe::setFirmwareText(const std::string &text) {
    firmwareText_ = text;
}

void Probe::loadFirmwareImage(const std::vector<std::uint8_t> &image) {
    firmwareImage_ = image;
    std::string text;
    for (std::size_t i = kBannerOffset; i < image.size() && image[i] != 0 && text.size() < 255; ++i) {
        text.push_back(static_cast<char>(image[i]));
    }
    setFirmwareText(text);
}

// ---------------------------------------------------------------------------
// Streams

void Probe::write(const std::uint8_t *data, std::size_t size) {
    in_.insert(in_.end(), data, data + size);
    while (processOne()) {
    }
    if (inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
    } else if (inPos_ > 4096) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inPos_));
        inPos_ = 0;
    }
}

std::size_t Probe::read(std::uint8_t *data, std::size_t size) {
    const std::uint32_t now = clock_.tickMs();
    std::size_t done = 0;
    while (done < size && !out_.empty() && isDue(now, out_.front().due)) {
        Chunk &c = out_.front();
        const std::size_t n = std::min(size - done, c.bytes.size() - c.pos);
        std::memcpy(data + done, c.bytes.data() + c.pos, n);
        c.pos += n;
        done += n;
        if (c.pos == c.bytes.size()) {
            out_.pop_front();
        }
    }
    return done;
}

std::size_t Probe::readAhead(std::uint8_t *data, std::size_t size, std::uint32_t &due) {
    due = clock_.tickMs();
    std::size_t done = 0;
    while (done < size && !out_.empty()) {
        Chunk &c = out_.front();
        if (!isDue(due, c.due)) {
            due = c.due;
        }
        const std::size_t n = std::min(size - done, c.bytes.size() - c.pos);
        std::memcpy(data + done, c.bytes.data() + c.pos, n);
        c.pos += n;
        done += n;
        if (c.pos == c.bytes.size()) {
            out_.pop_front();
        }
    }
    return done;
}

std::size_t Probe::available() const {
    const std::uint32_t now = clock_.tickMs();
    std::size_t n = 0;
    for (const Chunk &c : out_) {
        if (!isDue(now, c.due)) {
            break;
        }
        n += c.bytes.size() - c.pos;
    }
    return n;
}

bool Probe::peekAnswer(std::size_t &remaining, std::uint32_t &due) const {
    if (out_.empty()) {
        return false;
    }
    const Chunk &c = out_.front();
    std::size_t end = c.bytes.size();
    for (std::size_t piece : c.pieces) {
        if (piece > c.pos) {
            end = piece;
            break;
        }
    }
    remaining = end - c.pos;
    due = c.due;
    return true;
}

std::size_t Probe::takeAnswer(std::uint8_t *data, std::size_t size) {
    if (out_.empty()) {
        return 0;
    }
    std::size_t remaining = 0;
    std::uint32_t due = 0;
    peekAnswer(remaining, due);
    Chunk &c = out_.front();
    const std::size_t n = std::min(size, remaining);
    std::memcpy(data, c.bytes.data() + c.pos, n);
    c.pos += n;
    if (c.pos == c.bytes.size()) {
        out_.pop_front();
    }
    return n;
}

bool Probe::latePending(std::uint32_t &tick) const {
    const std::uint32_t now = clock_.tickMs();
    for (const Chunk &c : out_) {
        if (!isDue(now, c.due)) {
            tick = c.due;
            return true;
        }
    }
    return false;
}

bool Probe::takeDropRequest() {
    const bool was = dropRequested_;
    dropRequested_ = false;
    return was;
}

void Probe::resetStreams() {
    in_.clear();
    inPos_ = 0;
    expectImage_ = false;
    out_.clear();
    dropRequested_ = false;
}

void Probe::emit(std::uint8_t command, const std::uint8_t *bytes, std::size_t size,
                 const std::vector<std::size_t> &pieces) {
    FaultKind kind = FaultKind::None;
    if (fault_.kind != FaultKind::None && fault_.count != 0 &&
        (fault_.command < 0 || fault_.command == command)) {
        if (fault_.skip > 0) {
            --fault_.skip;
        } else {
            kind = fault_.kind;
            if (fault_.count > 0 && --fault_.count == 0) {
                fault_.kind = FaultKind::None;
            }
        }
    }
    Chunk chunk;
    chunk.due = clock_.tickMs();
    switch (kind) {
    case FaultKind::Nothing:
        return;
    case FaultKind::Drop:
        dropRequested_ = true;
        return;
    case FaultKind::Short:
        size /= 2; // half the answer, at least one byte short
        break;
    case FaultKind::Late:
        chunk.due += fault_.lateMs;
        break;
    case FaultKind::None:
        break;
    }
    if (trace_) {
        trace_(false, bytes, size);
    }
    if (size == 0) {
        return;
    }
    chunk.bytes.assign(bytes, bytes + size);
    for (std::size_t end : pieces) {
        if (end < size) {
            chunk.pieces.push_back(end);
        }
    }
    out_.push_back(std::move(chunk));
}

// ---------------------------------------------------------------------------
// Time and power

void Probe::tick() {
    const std::uint32_t now = clock_.tickMs();
    const std::uint64_t elapsed = static_cast<std::uint32_t>(now - lastTick_);
    lastTick_ = now;
    syncPower();
    const std::uint64_t steps = elapsed * options_.stepsPerMs + 1;
    target_.advance(steps);
    sample(userBuffer_, steps);
    sample(systemBuffer_, steps);
}

std::uint16_t Probe::targetMillivolts() {
    if (selfPowered_) {
        return targetPresent_ ? kExternalMillivolts : 0;
    }
    if (supplyOn_) {
        return supplyMv_;
    }
    const std::uint64_t fall =
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(clock_.tickMs() - offTick_)) *
        kDecayMillivoltsPerMs;
    return fall >= decayFromMv_ ? 0 : static_cast<std::uint16_t>(decayFromMv_ - fall);
}

void Probe::syncPower() {
    const bool powered = targetPresent_ && targetMillivolts() > kTargetThresholdMv;
    if (powered && !target_.powered()) {
        target_.powerUp();
    } else if (!powered && target_.powered()) {
        target_.powerLost();
    }
}

std::uint16_t Probe::selectedMillivolts() const {
    const std::uint8_t sel = config_[config::kVoltageSelection];
    return sel == config::kSupply5V || sel == 0 ? kMillivolts5V : kMillivolts3V;
}

void Probe::switchSupply(bool on, std::uint16_t millivolts) {
    if (selfPowered_) {
        return; // never drive a supply into a target that has its own
    }
    if (on) {
        supplyOn_ = true;
        supplyMv_ = millivolts;
    } else if (supplyOn_) {
        decayFromMv_ = supplyMv_;
        offTick_ = clock_.tickMs();
        supplyOn_ = false;
    }
    syncPower();
}

void Probe::sample(StreamBuffer &buffer, std::uint64_t steps) {
    if (!buffer.sampling || !target_.powered()) {
        return;
    }
    const std::size_t room = kBufferCapacity - buffer.items.size();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(steps, room));
    const std::string &text = options_.bufferText;
    for (std::size_t i = 0; i < n; ++i) {
        if (text.empty()) {
            buffer.items.push_back(static_cast<std::uint16_t>(buffer.counter++));
        } else {
            buffer.items.push_back(static_cast<std::uint8_t>(text[buffer.textPos]));
            buffer.textPos = (buffer.textPos + 1) % text.size();
        }
    }
}

// ---------------------------------------------------------------------------
// Commands

bool Probe::processOne() {
    const std::size_t avail = in_.size() - inPos_;
    if (avail == 0) {
        return false;
    }
    const std::uint8_t *p = in_.data() + inPos_;

    if (expectImage_) {
        if (avail < 2) {
            return false;
        }
        const std::size_t size = static_cast<std::size_t>(p[0] | p[1] << 8);
        if (avail < 2 + size) {
            return false;
        }
        if (trace_) {
            trace_(true, p, 2 + size);
        }
        inPos_ += 2 + size;
        expectImage_ = false;
        tick();
        finishDownload(p + 2, size);
        return true;
    }

    const std::uint8_t cmd = p[0];
    std::size_t need = 1;
    switch (cmd) {
    case probecmd::kWriteConfig:
    case probecmd::kWriteSystemConfig:
        need = 1 + kConfigBytes;
        break;
    case probecmd::kLinkSetup:
    case probecmd::kSwitchPower:
    case probecmd::kSwitchInterface:
    case probecmd::kSwitchPowerEx:
        need = 2;
        break;
    case probecmd::kAnswerTimeout:
        need = 5;
        break;
    case probecmd::kTargetRequest:
        if (avail < 3) {
            return false;
        }
        need = 3 + 2 * static_cast<std::size_t>(p[1] | p[2] << 8);
        break;
    case probecmd::kUserBuffer:
    case probecmd::kSystemBuffer:
        if (avail < 2) {
            return false;
        }
        need = p[1] == buffer::kRead ? 4 : 2;
        break;
    default:
        break;
    }
    if (avail < need) {
        return false;
    }
    if (trace_) {
        trace_(true, p, need);
    }
    inPos_ += need;
    tick();

    answer_.clear();
    answerPieces_.clear();
    switch (cmd) {
    case probecmd::kFirmwareString: {
        const std::size_t len = options_.shortFirmwareString ? kFirmwareStringShort : kFirmwareStringLong;
        put16(answer_, static_cast<unsigned>(len));
        answerPieces_.push_back(answer_.size()); // the length, then the text
        for (std::size_t i = 0; i < len; ++i) {
            answer_.push_back(i < firmwareText_.size() ? static_cast<std::uint8_t>(firmwareText_[i]) : 0);
        }
        break;
    }
    case probecmd::kDownload:
        if (refuseUpdate_) {
            answer_.push_back(1);
        } else {
            answer_.push_back(0);
            expectImage_ = true;
        }
        break;
    case probecmd::kHwStatus: {
        const std::uint16_t mv = targetMillivolts();
        syncPower();
        const Target::State st = target_.state();
        const bool awake = st == Target::State::Running || st == Target::State::Monitor;
        put16(answer_, mv);
        answer_.push_back(awake || st == Target::State::PowerOff ? 1 : 0); // SDA
        answer_.push_back(awake ? 1 : 0);                                  // SCL
        answer_.push_back(0);                                              // SDAout
        answer_.push_back(1);                                              // Wakeout released
        answer_.push_back(1);                                              // FPGA configured
        answer_.push_back(supplyOn_ ? 1 : 0);                              // TargetPowerOn
        break;
    }
    case probecmd::kReadConfig:
        answer_.assign(config_.begin(), config_.end());
        break;
    case probecmd::kWriteConfig:
        std::copy(p + 1, p + 1 + kConfigBytes, config_.begin());
        return true; // no answer
    case probecmd::kTargetRequest: {
        const std::size_t words = (need - 3) / 2;
        if (words > kMaxRequestWords) {
            put16(answer_, kProbeUnsupported);
        } else {
            targetRequest(p + 3, words);
        }
        break;
    }
    case probecmd::kUserBuffer:
    case probecmd::kSystemBuffer:
        bufferCommand(cmd, p[1], need == 4 ? static_cast<std::uint16_t>(p[2] | p[3] << 8) : 0);
        break;
    case probecmd::kPowerOffAtClose:
        switchSupply(false, 0);
        answer_.push_back(0);
        break;
    case probecmd::kReadSystemConfig:
        answer_.assign(sysConfig_.begin(), sysConfig_.end());
        break;
    case probecmd::kWriteSystemConfig: {
        const std::uint32_t current = serialNumber();
        const std::uint32_t wanted =
            static_cast<std::uint32_t>(p[1]) | static_cast<std::uint32_t>(p[2]) << 8 |
            static_cast<std::uint32_t>(p[3]) << 16 | static_cast<std::uint32_t>(p[4]) << 24;
        if (current != 0xFFFFFFFF && wanted != current) {
            answer_.push_back(1); // the serial number is written once
        } else {
            std::copy(p + 1, p + 1 + kConfigBytes, sysConfig_.begin());
            answer_.push_back(0);
        }
        break;
    }
    case probecmd::kCaps: {
        std::uint32_t caps = caps::kGetHwVersion | caps::kHasPulldown | caps::kReadConfig |
                             caps::kWriteConfig | caps::kSwitchPowerEx;
        if (options_.extendedCaps) {
            caps |= caps::kExtended;
        }
        put32(answer_, caps);
        break;
    }
    case probecmd::kExtendedCaps:
        if (!options_.extendedCaps) {
            return true; // unknown to a probe without extended capabilities
        }
        put32(answer_, caps::kGetHwVersion | caps::kHasPulldown | caps::kReadConfig | caps::kWriteConfig |
                           caps::kSwitchPowerEx | caps::kExtended);
        put32(answer_, kBufferCapacity); // word 1: buffer depth in items
        for (int i = 2; i < 8; ++i) {
            put32(answer_, 0);
        }
        break;
    case probecmd::kHwVersion:
        put32(answer_, options_.hwVersion);
        break;
    case probecmd::kLinkSetup:
        answer_.push_back(0);
        break;
    case probecmd::kSwitchPower:
        switchSupply(p[1] != 0, selectedMillivolts());
        answer_.push_back(0);
        break;
    case probecmd::kSwitchInterface:
        interfaceMode_ = p[1];
        answer_.push_back(0);
        break;
    case probecmd::kAnswerTimeout:
        answerTimeout_ = static_cast<std::uint32_t>(p[1]) | static_cast<std::uint32_t>(p[2]) << 8 |
                         static_cast<std::uint32_t>(p[3]) << 16 | static_cast<std::uint32_t>(p[4]) << 24;
        answer_.push_back(0);
        break;
    case probecmd::kSwitchPowerEx: {
        const std::uint8_t on = p[1];
        const std::uint8_t sel = config_[config::kVoltageSelection];
        if (options_.hwVersion < kVoltageSelectionVersion) {
            answer_.push_back(1);
        } else if (on == 0) {
            switchSupply(false, 0);
            answer_.push_back(0);
        } else if (on != config::kSupply3V && on != config::kSupply5V) {
            answer_.push_back(2);
        } else if ((sel == config::kSupply3V || sel == config::kSupply5V) && sel != on) {
            answer_.push_back(3); // a fixed level is configured
        } else {
            switchSupply(true, on == config::kSupply3V ? kMillivolts3V : kMillivolts5V);
            answer_.push_back(0);
        }
        break;
    }
    default:
        return true; // unknown command byte: no answer
    }
    emit(cmd, answer_.data(), answer_.size(), answerPieces_);
    return true;
}

void Probe::finishDownload(const std::uint8_t *image, std::size_t size) {
    std::uint8_t status = 1;
    if (firmwareCrcValid(image, size)) {
        loadFirmwareImage(std::vector<std::uint8_t>(image, image + size));
        status = 0;
    }
    emitByte(probecmd::kDownload, status);
}

void Probe::bufferCommand(std::uint8_t kind, std::uint8_t code, std::uint16_t count) {
    StreamBuffer &buffer = kind == probecmd::kUserBuffer ? userBuffer_ : systemBuffer_;
    switch (code) {
    case buffer::kStart:
        buffer.sampling = true;
        put16(answer_, 0);
        break;
    case buffer::kStop:
        buffer.sampling = false;
        put16(answer_, 0);
        break;
    case buffer::kClean:
        buffer.items.clear();
        put16(answer_, 0);
        break;
    case buffer::kGetCount:
        put16(answer_, static_cast<unsigned>(buffer.items.size()));
        break;
    case buffer::kRead: {
        const std::size_t n = std::min<std::size_t>(count, buffer.items.size());
        // The count, the items and the status go out as three writes.
        put16(answer_, static_cast<unsigned>(n));
        answerPieces_.push_back(answer_.size());
        for (std::size_t i = 0; i < n; ++i) {
            put16(answer_, buffer.items.front());
            buffer.items.pop_front();
        }
        if (n > 0) {
            answerPieces_.push_back(answer_.size());
        }
        put16(answer_, 0);
        break;
    }
    default:
        put16(answer_, 0xFFFF); // unknown control code
        break;
    }
}

// The answer words a request's items ask for: one per entry and reset entry
// item, N per answer item; counted as far as the items can be told apart.
std::size_t Probe::requestedAnswerWords(const std::uint8_t *bytes, std::size_t count) {
    const auto word = [bytes](std::size_t i) {
        return static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    };
    std::size_t words = 0;
    for (std::size_t i = 0; i < count;) {
        const std::uint16_t type = word(i);
        const std::size_t left = count - i;
        if ((type & 0xFF) != 0 || left < 2) {
            break;
        }
        switch (type >> 8) {
        case 0:
            i += 2u + word(i + 1);
            break;
        case 1:
            i += 4;
            break;
        case 2:
            words += 1;
            i += 5;
            break;
        case 5:
            words += word(i + 1);
            i += 2;
            break;
        case 8:
            words += 1;
            i += 6;
            break;
        default:
            return std::min(words, kMaxAnswerWords);
        }
    }
    return std::min(words, kMaxAnswerWords);
}

// Plays the items of one target request out on the link, in order. The
// answer always holds as many words as the items ask for, then the trailer
// word: words the target did not send (a time-out, an address the probe
// refused) are sent as 0, and the trailer says why.
void Probe::targetRequest(const std::uint8_t *bytes, std::size_t count) {
    const auto word = [bytes](std::size_t i) {
        return static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    };
    const std::size_t requested = requestedAnswerWords(bytes, count);
    const bool link = interfaceMode_ != 0;
    collected_.clear();
    std::uint8_t status = kProbeOk;
    std::uint8_t detail = 0;
    std::size_t i = 0;
    while (i < count && status == kProbeOk) {
        const std::uint16_t type = word(i);
        if ((type & 0xFF) != 0) {
            status = kProbeUnsupported;
            break;
        }
        switch (type >> 8) {
        case 0: { // data
            if (i + 2 > count || i + 2 + word(i + 1) > count) {
                status = kProbeUnsupported;
                break;
            }
            const std::size_t n = word(i + 1);
            for (std::size_t j = 0; j < n && status == kProbeOk; ++j) {
                if (link) {
                    status = target_.data(word(i + 2 + j));
                }
            }
            i += 2 + n;
            break;
        }
        case 1: // command
            if (i + 4 > count || word(i + 1) != 1) {
                status = kProbeUnsupported;
                break;
            }
            if (link) {
                status = target_.command(word(i + 2), word(i + 3));
            }
            i += 4;
            break;
        case 2: { // entry
            const std::uint16_t param = word(i + 1 < count ? i + 1 : i);
            if (i + 5 > count || (param != 1 && param != 8) || word(i + 2) != 0 || word(i + 3) != 0x0708 ||
                word(i + 4) != 0x0032) {
                status = kProbeUnsupported;
                break;
            }
            if (param == 1 && link && !supplyOn_) {
                switchSupply(true, selectedMillivolts()); // power-up entry supplies the target first
            }
            if (!link || collected_.size() >= kMaxAnswerWords || !target_.entry(param)) {
                status = kProbeTimeout;
                break;
            }
            collected_.push_back(0);
            i += 5;
            break;
        }
        case 5: { // answer
            if (i + 2 > count) {
                status = kProbeUnsupported;
                break;
            }
            const std::size_t n = word(i + 1);
            std::size_t got = 0;
            bool lastRefusal = false;
            for (; got < n; ++got) {
                std::uint16_t w = 0;
                bool refusal = false;
                if (!link || collected_.size() >= kMaxAnswerWords || !target_.popAnswer(w, refusal)) {
                    status = kProbeTimeout;
                    // A lone status word in place of the data: tell the host.
                    detail = got == 1 && lastRefusal ? 1 : 0;
                    break;
                }
                collected_.push_back(w);
                lastRefusal = refusal;
            }
            i += 2;
            break;
        }
        case 8: // reset entry
            if (i + 6 > count || word(i + 1) != 0x000F || word(i + 2) != 0x0008 || word(i + 3) != 0 ||
                word(i + 4) != 0x0708 || word(i + 5) != 0x0032) {
                status = kProbeUnsupported;
                break;
            }
            if (!link || collected_.size() >= kMaxAnswerWords || !target_.resetEntry()) {
                status = kProbeTimeout;
                break;
            }
            collected_.push_back(0);
            i += 6;
            break;
        default:
            status = kProbeUnsupported;
            break;
        }
    }
    for (std::uint16_t w : collected_) {
        put16(answer_, w);
    }
    for (std::size_t n = collected_.size(); n < requested; ++n) {
        put16(answer_, 0);
    }
    put16(answer_, static_cast<unsigned>(status | detail << 8));
}

} // namespace sim
