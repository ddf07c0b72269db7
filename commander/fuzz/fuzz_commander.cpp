// Arbitrary command lines and scripts through the commander's interpreter,
// with the simulated probe behind the library (in-process front, virtual
// time). Each input gets a fresh probe and a fresh commander: the program
// state is reset, the connection opened by ConnectProbe and closed at the
// end, and the files the input made are removed.
//
// Input: byte 0 picks the mode (bit 0 set: the rest is a script file run by
// RunScript, else it is standard input of the interactive prompt); the rest
// is also saved as the file "s" for `source`. File names are kept inside a
// scratch folder ('/' becomes '_'), and inputs that name the tcp command are
// skipped, since it would reach out to real hosts.
#include "commander.h"
#include "console.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "api.h"

#include "plat/clock.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string Input;
std::size_t InputPos = 0;

int FuzzReadLine(const char *, char *pBuffer, int BufferSize) {
    int n = 0;
    while (n < BufferSize - 1 && InputPos < Input.size()) {
        const char c = Input[InputPos++];
        pBuffer[n++] = c;
        if (c == '\n') {
            break;
        }
    }
    pBuffer[n] = '\0';
    return n > 0 ? 1 : 0;
}
int FuzzReadReply(char *pBuffer, int BufferSize) {
    return FuzzReadLine("", pBuffer, BufferSize);
}
int FuzzReadKey() {
    return InputPos < Input.size() ? static_cast<unsigned char>(Input[InputPos++]) : -1;
}
void FuzzNoOp() {}
int FuzzKeyWaiting() {
    return 1; // a key, or the end of input: either ends a wait
}

const CONSOLE_INPUT FuzzInput = {FuzzReadLine, FuzzReadReply,  FuzzReadKey,
                                 FuzzNoOp,     FuzzKeyWaiting, FuzzNoOp};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::size_t Count(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

std::filesystem::path Sandbox;
plat::VirtualClock Clock;

void SetUpOnce() {
    plat::setClock(&Clock);
    char name[] = "/tmp/fuzz_commander_XXXXXX";
    if (::mkdtemp(name) == nullptr || ::chdir(name) != 0) {
        std::abort();
    }
    Sandbox = name;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(Sandbox, ec);
    });
    // The commander's output is not what is checked here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    CONSOLE_SetInput(&FuzzInput);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool ready = (SetUpOnce(), true);
    (void)ready;
    if (size == 0 || size > 2048) {
        return 0;
    }
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    const std::string lower = Lower(text);
    // A self-sourcing script may nest nine deep; two source lines would
    // make that 2^9 runs of everything.
    if (lower.find("tcp") != std::string::npos || Count(lower, "so") > 1) {
        return 0;
    }
    std::replace(text.begin(), text.end(), '/', '_');
    std::ofstream("s", std::ios::binary) << text;

    // Every input meets a fresh library, probe and commander.
    API_ResetState();
    sim::Probe probe(Clock);
    sim::DeviceFront front(probe);
    CMD_ResetState();
    Input = (data[0] & 1) != 0 ? std::string() : text;
    InputPos = 0;
    ConnectProbe();
    if ((data[0] & 1) != 0) {
        RunScript("s");
    } else {
        RunPrompt();
    }
    std::fflush(stdout);
    FERROX_SetLogFile(nullptr);
    FERROX_CloseEx(0);
    FERROX_ClrError();
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(Sandbox, ec)) {
        std::filesystem::remove_all(entry.path(), ec);
    }
    return 0;
}
