// HEX file transfer, fill settings and signatures: not in this build yet.
#include "commander.h"
#include "commands.h"

#include <cstdio>

namespace {
void NotYet(const char *sName) {
    std::printf("%s: not available in this build.\n", sName);
}
} // namespace

void CMD_Upload(char *) {
    NotYet("upload");
}
void CMD_Download(char *) {
    NotYet("download");
}
void CMD_FillRange(char *) {
    NotYet("fillrange");
}
void CMD_FillPattern(char *) {
    NotYet("fillpattern");
}
void CMD_FileSig(char *) {
    NotYet("filesig");
}
void CMD_Sig(char *) {
    NotYet("sig");
}
