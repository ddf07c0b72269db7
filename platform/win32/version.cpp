#include "plat/version.h"

#include <windows.h>

#include <vector>

namespace plat {

bool hasVersionResources() {
    return true;
}

std::string moduleProductVersion() {
    // The module that holds this function: the library when it is linked
    // into one, else the program.
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&moduleProductVersion), &module) == 0) {
        return {};
    }
    char path[MAX_PATH + 1];
    const DWORD len = GetModuleFileNameA(module, path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH) {
        return {};
    }
    path[len] = '\0';
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        return {};
    }
    std::vector<char> info(size);
    if (GetFileVersionInfoA(path, 0, size, info.data()) == 0) {
        return {};
    }
    char *text = nullptr;
    UINT textLen = 0;
    if (VerQueryValueA(info.data(), "\\StringFileInfo\\040904b0\\ProductVersion",
                       reinterpret_cast<LPVOID *>(&text), &textLen) == 0 ||
        text == nullptr || textLen == 0) {
        return {};
    }
    // The length counts the terminating NUL when there is one.
    std::string version(text, textLen);
    version.resize(version.find('\0') == std::string::npos ? version.size() : version.find('\0'));
    return version;
}

} // namespace plat
