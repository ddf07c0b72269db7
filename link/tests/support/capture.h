// What the library hands to the application: error output texts and
// message boxes, collected for the test to look at; and the log file.
#pragma once

#include "plat/message_box.h"

#include <string>
#include <vector>

namespace ferrox_test {

struct Captured {
    std::vector<std::string> errors;       // texts given to pfErrorOut
    std::vector<std::string> messageBoxes; // "caption|text"
};

Captured &captured();
// The error output function to hand to FERROX_Open.
void errorOut(const char *text);
// The log output function (the library never calls it).
void logOut(const char *text);
// Routes message boxes into captured() for the life of the object.
class CaptureMessageBoxes {
public:
    CaptureMessageBoxes();
    ~CaptureMessageBoxes();
    CaptureMessageBoxes(const CaptureMessageBoxes &) = delete;
    CaptureMessageBoxes &operator=(const CaptureMessageBoxes &) = delete;
};

// A fresh log file path in the test's temporary directory, and its content.
std::string tempLogPath(const char *name);
std::string readFile(const std::string &path);

} // namespace ferrox_test
