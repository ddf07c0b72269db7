// quidorsim as users run it: a process serving the probe server's frames,
// reached through the library's TCP/IP transport.
#include "sim/checksums.h"
#include "sim/protocol.h"
#include "sim/target.h"
#include "wire.h"

#include "link.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using simtest::Bytes;
using simtest::Request;
using W = std::vector<std::uint16_t>;

using ferrox_test::Process;

std::uint16_t portOf(const std::string &line) {
    const std::string prefix = "quidorsim listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        return 0;
    }
    return static_cast<std::uint16_t>(std::atoi(line.c_str() + prefix.size()));
}

// Target requests through the library's TCP/IP transport.
struct Client {
    Bytes exchange(const Bytes &request, std::size_t answerBytes) {
        Bytes answer(answerBytes);
        const int n = LINK_WriteRead(request.data(), static_cast<int>(request.size()), answer.data(),
                                     static_cast<int>(answer.size()));
        answer.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
        return answer;
    }
    // Sends a command with parameters; returns the answer words (trailer 0 required).
    W run(std::uint16_t code, const W &params, std::uint16_t words) {
        Request r;
        r.command(code);
        if (!params.empty()) {
            r.data(params);
        }
        return target(r.answer(words), words);
    }
    W target(const Request &r, std::size_t words) {
        const simtest::Answer a = simtest::parseAnswer(exchange(r.bytes(), 2 * words + 2));
        EXPECT_TRUE(a.wellFormed);
        EXPECT_EQ(a.status, 0);
        return a.words;
    }
};

class QuidorsimProcess : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = std::filesystem::temp_directory_path() / ("quidorsim_state_" + std::to_string(::getpid()));
        std::filesystem::remove_all(state_);
    }
    void TearDown() override {
        LINK_Disconnect();
        std::filesystem::remove_all(state_);
    }
    std::filesystem::path state_;
};

TEST_F(QuidorsimProcess, AClientDoesEverythingAUserDoes) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0", "--state", state_.string(), "--serial", "4242"});
    const std::uint16_t port = portOf(sim.readLine());
    ASSERT_NE(port, 0);
    ASSERT_EQ(LINK_SelectTCPIP("127.0.0.1", port), 0);
    ASSERT_EQ(LINK_Connect(), 0);
    Client c;

    // Probe: firmware string, capabilities, hardware status.
    Bytes fw = c.exchange({0x01}, 114);
    ASSERT_EQ(fw.size(), 114u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(fw.data() + 2)), sim::kLibraryBanner);
    EXPECT_EQ(simtest::le32(c.exchange({0xE8}, 4), 0), 0x76u);
    EXPECT_EQ(c.exchange({0x07}, 8), (Bytes{0, 0, 0, 0, 0, 1, 1, 0}));

    // Monitor mode.
    EXPECT_EQ(c.exchange({0xF1, 0x02}, 1), Bytes{0});
    EXPECT_EQ(c.target(Request().entry(1).data({sim::Target::kEntryWord}).answer(2), 3), (W{0, 3, 0}));

    // All four memories: program, then read back.
    EXPECT_EQ(c.run(C_SET_DATA, {0x0100, 4, 0x2211, 0x4433}, 1), W{0});
    EXPECT_EQ(c.run(C_GET_DATA, {0x0100, 4}, 3), (W{0, 0x2211, 0x4433}));
    EXPECT_EQ(c.run(C_PROG_EE_BYTES, {0x0080, 2, 0xBEEF}, 1), W{0});
    EXPECT_EQ(c.run(C_GET_EE_BYTES, {0x0080, 2}, 3), (W{0, 0xBEEF, 0}));
    W page{0x0040};
    for (std::uint16_t i = 0; i < 32; ++i) {
        page.push_back(static_cast<std::uint16_t>(i * 3));
    }
    EXPECT_EQ(c.run(C_PROG_PF_PAGE, page, 1), W{0});
    EXPECT_EQ(c.run(C_GET_PF_WORDS, {0x0041, 2}, 4), (W{0, 3, 6, 0}));
    EXPECT_EQ(c.run(C_PROG_ULP_PAGE, {7, 0x5678, 0x1234}, 1), W{0});
    EXPECT_EQ(c.run(C_GET_ULP_PAGES, {7, 1}, 3), (W{0, 0x5678, 0x1234}));

    // Run to a breakpoint and collect the halt notification.
    EXPECT_EQ(c.run(C_SET_BP, {0x40, 0x0020}, 1), W{0});
    EXPECT_EQ(c.run(C_RUN, {}, 1), W{0});
    W halt;
    for (int poll = 0; poll < 200 && halt.empty(); ++poll) {
        const simtest::Answer a = simtest::parseAnswer(c.exchange(Request().answer(2).bytes(), 6));
        if (a.status == 0) {
            halt = a.words;
        }
    }
    EXPECT_EQ(halt, (W{TAMSA_STATUS_CODE_HWBP_HIT, 0x0020}));

    // Protect, unprotect, protect again and erase.
    EXPECT_EQ(c.run(C_PROTECT, {}, 1), W{0});
    EXPECT_EQ(c.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1), 1), W{0xD004});
    const auto key = sim::keyWords("00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(c.run(C_UNPROTECT, W(key.begin(), key.end()), 1), W{0});
    EXPECT_EQ(c.run(C_PROTECT, {}, 1), W{0});

    // Signatures and version items (a protected target still answers them).
    const std::vector<std::uint8_t> data(c.exchange({0x8E}, 256)); // keeps the link busy between commands
    ASSERT_EQ(data.size(), 256u);
    std::vector<std::uint8_t> eeprom(sim::Target::kEepromBytes, 0xFF);
    eeprom[0x80] = 0xEF;
    eeprom[0x81] = 0xBE;
    const std::uint32_t eeSig = sim::imageSignature(eeprom.data(), eeprom.size());
    EXPECT_EQ(c.run(C_CALC_SIGN, {1}, 3),
              (W{0, static_cast<std::uint16_t>(eeSig >> 16), static_cast<std::uint16_t>(eeSig & 0xFFFF)}));
    EXPECT_EQ(c.run(C_GET_VERSION, {}, 1), W{5});
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(c.target(Request().answer(2), 2).size(), 2u);
    }
    const std::array<std::uint16_t, 8> code = sim::kEraseAccessCode;
    EXPECT_EQ(c.run(C_ERASE, W(code.begin(), code.end()), 1), W{0});
    EXPECT_EQ(c.run(C_GET_EE_BYTES, {0x0080, 2}, 3), (W{0, 0xFFFF, 0}));
    LINK_Disconnect();

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);

    // State survives: DATA, ULP and the serial number are still there.
    Process again(QUIDORSIM, {"--listen", "127.0.0.1:0", "--state", state_.string()});
    const std::uint16_t port2 = portOf(again.readLine());
    ASSERT_NE(port2, 0);
    ASSERT_EQ(LINK_SelectTCPIP("127.0.0.1", port2), 0);
    ASSERT_EQ(LINK_Connect(), 0);
    EXPECT_EQ(simtest::le32(c.exchange({0xE6}, 256), 0), 4242u);
    c.exchange({0xF1, 0x02}, 1);
    EXPECT_EQ(c.target(Request().entry(1).data({sim::Target::kEntryWord}).answer(2), 3).size(), 3u);
    EXPECT_EQ(c.run(C_GET_DATA, {0x0100, 4}, 3), (W{0, 0x2211, 0x4433}));
    EXPECT_EQ(c.run(C_GET_ULP_PAGES, {7, 1}, 3), (W{0, 0x5678, 0x1234}));
    LINK_Disconnect();
    again.signal(SIGINT);
    EXPECT_EQ(again.wait(), 0);
}

TEST_F(QuidorsimProcess, TracePrintsRequestsAndAnswersInHex) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0", "--trace", "--hw-version", "21000"});
    const std::uint16_t port = portOf(sim.readLine());
    ASSERT_NE(port, 0);
    ASSERT_EQ(LINK_SelectTCPIP("127.0.0.1", port), 0);
    ASSERT_EQ(LINK_Connect(), 0);
    Client c;
    EXPECT_EQ(c.exchange({0xF0}, 4), (Bytes{0x08, 0x52, 0, 0}));
    EXPECT_EQ(sim.readLine(), "-> F0");
    EXPECT_EQ(sim.readLine(), "<- 08 52 00 00");
    LINK_Disconnect();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(QuidorsimCommandLine, HelpListsEveryOptionAndBadOptionsFail) {
    Process help(QUIDORSIM, {"--help"});
    const std::string text = help.readAll();
    EXPECT_EQ(help.wait(), 0);
    for (const char *option :
         {"--listen",          "--state",           "--trace",         "--hw-version",   "--extended-caps",
          "--short-fw-string", "--firmware",        "--serial",        "--buffer-text",  "--self-powered",
          "--no-target",       "--protected",       "--unprotect-key", "--steps-per-ms", "--fault",
          "--fault-command",   "--fault-skip",      "--fault-count",   "--late-ms",      "--refuse-update",
          "--brown-out",       "--program-failure", "--version"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    for (const std::vector<std::string> &bad :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"--listen", "nowhere"},
                                               {"--firmware", "new"},
                                               {"--serial"},
                                               {"--unprotect-key", "12"}}) {
        Process p(QUIDORSIM, bad);
        EXPECT_TRUE(p.readAll().empty());
        EXPECT_EQ(p.wait(), 2) << bad[0];
    }
}

TEST(QuidorsimCommandLine, VersionPrintsTheProductVersionAndCompileDateAndServesNothing) {
    Process p(QUIDORSIM, {"--version", "--listen", "127.0.0.1:0"});
    const std::string text = p.readAll();
    EXPECT_TRUE(std::regex_match(text, std::regex("quidorsim " FERROX_PRODUCT_VERSION
                                                  ", compiled [A-Z][a-z]{2} [ 0-9]{2} [0-9]{4} [0-9:]{8}\n")))
        << text;
    EXPECT_EQ(p.wait(), 0);
}

} // namespace
