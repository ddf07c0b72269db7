#include "capture.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace ferrox_test {

Captured &captured() {
    static Captured c;
    return c;
}

void errorOut(const char *text) {
    captured().errors.emplace_back(text);
}

void logOut(const char *text) {
    captured().errors.emplace_back(std::string("LOGOUT:") + text);
}

namespace {
void boxHook(const char *text, const char *caption, plat::MessageIcon) {
    captured().messageBoxes.push_back(std::string(caption) + "|" + text);
}
} // namespace

CaptureMessageBoxes::CaptureMessageBoxes() {
    plat::setMessageBoxHook(&boxHook);
}
CaptureMessageBoxes::~CaptureMessageBoxes() {
    plat::setMessageBoxHook(nullptr);
}

namespace {
int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return ::getpid();
#endif
}
} // namespace

std::string tempLogPath(const char *name) {
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/ferrox_" + name + "_" +
                       std::to_string(processId()) + ".log";
    std::remove(path.c_str());
    return path;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace ferrox_test
