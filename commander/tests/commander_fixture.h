// The fixture of the commander's process tests: a simulator per test, the
// commander run through QUIDOR_SERVER, and the texts every run begins with.
#pragma once

#include "process_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace cmd_test {

inline const std::string kBanner = "Halvorn Quidor Tamsa Commander V1.92\n";
inline const std::string kVersionInfo = "Version information:\n"
                                        "DLL: 1.92, compiled DATE\n"
                                        "Firmware: Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22\n"
                                        "Hardware: 2.20\n"
                                        "S/N: -1 \n";
inline const std::string kPromptIntro = "\nEnter '?' for help on available commands, 'q' to quit.\n";
inline const std::string kAutoExit = "\nQuidor will be closed, because automatic exit is enabled\n";
inline const std::string kRegsAfterBoot =
    "PC = 0000, PSW = 00\n"
    "R0 = 00, R1 = 00, R2 = 00, R3 = 00, R4 = 00, R5 = 00, R6 = 00, R7 = 2000\n";

inline std::string helpText() {
    std::ifstream in(HELP_TEXT, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Commander : public ::testing::Test {
protected:
    void start(std::vector<std::string> options = {}) {
        sim_ = std::make_unique<Simulator>(std::move(options));
        ASSERT_FALSE(sim_->server().empty()) << "quidorsim did not start";
    }
    void SetUp() override { start(); }

    // The no-argument start: connects through QUIDOR_SERVER, then the prompt.
    Result interactive(const std::string &input) {
        RunOptions options;
        options.server = sim_->server();
        options.input = input;
        options.cwd = scratch_.path();
        Result r = cmd_test::runCommander({}, options);
        r.out = normalized(r.out);
        return r;
    }
    std::string interactiveHeader() const {
        return kBanner + "Connecting to Quidor TCP/IP server " + sim_->server() + "\n" + kVersionInfo +
               kPromptIntro;
    }
    Result commandLine(const std::vector<std::string> &args, const std::string &input = "") {
        RunOptions options;
        options.server = sim_->server();
        options.input = input;
        options.cwd = scratch_.path();
        Result r = cmd_test::runCommander(args, options);
        r.out = normalized(r.out);
        return r;
    }

    std::unique_ptr<Simulator> sim_;
    ScratchDir scratch_;
};

} // namespace cmd_test
