// The exported API: the frame every export runs, the connection, load and
// unload. Exports reach the target code only through pDeviceOps.
#include "api.h"

#include "FerroxConst.h"
#include "cpu_state.h"
#include "firmware.h"
#include "link.h"
#include "main_log.h"
#include "probe.h"
#include "target.h"

#include "plat/message_box.h"
#include "plat/named_mutex.h"
#include "plat/thread.h"
#include "plat/version.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef FERROX_PRODUCT_VERSION
#error "FERROX_PRODUCT_VERSION must name the product version"
#endif

namespace {

struct CONNECTION_STATE {
    FERROX_OUTPUT_FUNC pfLogOut;
    U32 Reserved;
    FERROX_OUTPUT_FUNC pfErrorOut;
};

// The connection and the frame's bookkeeping, in one place.
struct State {
    U8 IsOpen = 0;
    CONNECTION_STATE ConnectionState = {};
    // One counter for the process, changed only by the lock's owner.
    int LockDepth = 0;
    const char *LockNames[3] = {};
    // The name of an API lock that could not be shared with other
    // processes, until the next call has told so.
    const char *LockNotShared = nullptr;
};
State g;
plat::NamedMutex ApiMutex;
int DllVersion = 0;

const char kCaption[] = "Quidor Error";

const char *const RegisterNames[] = {"PC      ", "PSW     ", "R0      ", "R1      ", "R2      ",
                                     "R3      ", "R4      ", "R5      ", "R6      ", "R7 / SP "};

const char *registerName(int RegIndex) {
    return RegIndex >= 0 && RegIndex < 10 ? RegisterNames[RegIndex] : "???";
}

const char *orNull(const char *s) {
    return s != nullptr ? s : "(null)";
}

// Result lines.
int r2(int r) {
    MAIN_Log("  returns 0x%.2X\n", static_cast<unsigned>(r));
    return r;
}
int r4(int r) {
    MAIN_Log("  returns 0x%.4X\n", static_cast<unsigned>(r));
    return r;
}
U32 r8(U32 r) {
    MAIN_Log("  returns 0x%.8X\n", r);
    return r;
}
int r8i(int r) {
    MAIN_Log("  returns 0x%.8X\n", static_cast<unsigned>(r));
    return r;
}
void nl() {
    MAIN_LogString("\n");
}

// The data dump of a memory or buffer export. A count the export refuses
// tells nothing of the caller's buffer, so such a call reads none of it.
void logDump(const void *pData, U32 NumUnits, U32 MaxUnits) {
    if (NumUnits <= MaxUnits) {
        MAIN_LogData(static_cast<const U8 *>(pData), NumUnits);
    }
}
constexpr U32 kMaxBytes = INT_MAX;        // memory exports: an int result
constexpr U32 kMaxUlpPages = INT_MAX / 4; // ULP reads count 4 bytes a page
constexpr U32 kMaxItems = 65535;          // buffer reads: a 16-bit count

// Frame Enter: the export returns notOpen when no connection can be had.
template <typename R, typename Work> R enterFrame(const char *name, R notOpen, Work &&work) noexcept {
    if (!API_Enter(name)) {
        return notOpen;
    }
    R r = work();
    API_Unlock();
    return r;
}

// Frame Lock.
template <typename R, typename Work> R lockFrame(const char *name, Work &&work) noexcept {
    API_Lock(name);
    R r = work();
    API_Unlock();
    return r;
}

// Saturating decimal number at the start of `s`.
int leadingNumber(const char *s) {
    int n = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        n = n < 100000 ? n * 10 + (*s - '0') : n;
    }
    return n;
}

void threadEnded() {
    API_ThreadDetach();
}

} // namespace

// ---------------------------------------------------------------- frame

bool API_IsOpen() {
    return g.IsOpen != 0;
}
int API_GetLockDepth() {
    return g.LockDepth;
}
FERROX_OUTPUT_FUNC API_GetErrorOut() {
    return g.ConnectionState.pfErrorOut;
}

void API_Lock(const char *name) {
    plat::watchCurrentThread();
    ApiMutex.lock();
    const int depth = ++g.LockDepth;
    MAIN_SetCallDepth(depth);
    if (g.LockNotShared != nullptr) {
        MAIN_LogErrorF("Could not open the lock %s shared by all processes: calls are serialised within "
                       "this process only.",
                       g.LockNotShared);
        g.LockNotShared = nullptr;
    }
    if (depth >= 1 && depth <= 3) {
        g.LockNames[depth - 1] = name;
    }
    if (depth >= 4) {
        char text[1024];
        (void)std::snprintf(text, sizeof text, "Lock count error (increment)\n%s\n%s\n%s\n%s",
                            orNull(g.LockNames[0]), orNull(g.LockNames[1]), orNull(g.LockNames[2]),
                            orNull(name));
        plat::messageBox(text, kCaption, plat::MessageIcon::Warning);
        MAIN_LogString("\n  ***** Lock count error (increment)");
        MAIN_Log("\n        %s", orNull(g.LockNames[0]));
        MAIN_Log("\n        %s", orNull(g.LockNames[1]));
        MAIN_Log("\n        %s", orNull(g.LockNames[2]));
        MAIN_Log("\n        %s", orNull(name));
    }
}

void API_Unlock() {
    // Pending errors are delivered at the end of every call, nested ones too.
    MAIN_FlushErrors();
    MAIN_SetCallDepth(--g.LockDepth);
    if (g.LockDepth < 0) {
        plat::messageBox("Lock count error (decrement)", kCaption, plat::MessageIcon::Warning);
        MAIN_LogString("\n  ***** Lock count error (decrement)");
    }
    ApiMutex.unlock();
}

bool API_Enter(const char *name) {
    if (g.IsOpen != 0) {
        API_Lock(name);
        // A close may have run while this call waited for the lock.
        if (g.IsOpen != 0) {
            return true;
        }
        API_Unlock();
    }
    MAIN_LogString("\n  ***** ");
    MAIN_Log("API Error: API %s function called before FERROX_Open()", name);
    API_Lock(name);
    if (OpenConnection(g.ConnectionState.pfLogOut, g.ConnectionState.pfErrorOut) != 0) {
        API_Unlock();
        return false;
    }
    return true;
}

int OpenConnection(FERROX_OUTPUT_FUNC pfLogOut, FERROX_OUTPUT_FUNC pfErrorOut) {
    if (g.IsOpen != 0) {
        return 0; // the first open's output functions stay in force
    }
    g.ConnectionState.pfLogOut = pfLogOut;
    g.ConnectionState.pfErrorOut = pfErrorOut;
    MAIN_SetErrorOut(pfErrorOut);
    if (pDeviceOps->Open() != 0) {
        return 1;
    }
    if (ProbeConnect(pfErrorOut) != 0) {
        return 1;
    }
    g.IsOpen = 1;
    return 0;
}

void CloseConnection(const char *name, U8 RunMode) {
    API_Lock(name);
    MAIN_Log("%s()", name);
    if (g.IsOpen != 0) {
        pDeviceOps->Close(RunMode); // its result is not the caller's concern
        ProbeDisconnect();
        g.IsOpen = 0;
    }
    // Forgetting the output functions here makes errors of the close itself
    // appear in a message box.
    g.ConnectionState = CONNECTION_STATE{};
    MAIN_SetErrorOut(nullptr);
    nl();
    API_Unlock();
}

int API_ParseVersion(const char *sVersion) {
    if (sVersion == nullptr) {
        return 0;
    }
    const std::size_t len = std::strlen(sVersion);
    if (len < 3) {
        return 0;
    }
    const int major = leadingNumber(sVersion);
    const std::size_t at = major <= 9 ? 2 : major < 100 ? 3 : 4;
    // A version text ending before its minor number counts the minor as 0.
    const int minor = at < len ? leadingNumber(sVersion + at) : 0;
    return major * 1000 + minor;
}

void API_ThreadDetach() {
    // A thread that dies inside a call must not leave the lock held. The
    // depth goes down before each release, so that the next owner never
    // finds the dead thread's levels still counted.
    while (g.LockDepth > 0 && ApiMutex.ownedByCurrentThread()) {
        MAIN_LogString("\n  ********* Quidor owning thread terminated ********");
        MAIN_SetCallDepth(--g.LockDepth);
        ApiMutex.unlock();
    }
}

bool API_OpenLock(const char *sName) {
    const bool shared = ApiMutex.open(sName);
    g.LockNotShared = shared ? nullptr : sName;
    return shared;
}

void API_ResetState() {
    // A test that ended inside a call leaves the lock with this thread.
    while (ApiMutex.ownedByCurrentThread()) {
        ApiMutex.unlock();
    }
    g = State{};
    MAIN_ResetState();
    LINK_ResetState();
    EMU_ResetState();
    FW_ResetState();
    CPU_ResetFlags();
    CPU_ResetRequestState();
    // The library's way to be pointed at a probe server without an API call.
    const char *server = std::getenv("QUIDOR_SERVER");
    char host[512];
    int port = 0;
    if (LINK_ParseServerAddress(server, host, sizeof host, &port)) {
        LINK_SelectTCPIP(host, port);
    }
}

void API_ProcessAttach() {
    // A Windows library reads its own version resource (none gives 0);
    // elsewhere the version is compiled in.
    DllVersion = plat::hasVersionResources() ? API_ParseVersion(plat::moduleProductVersion().c_str())
                                             : API_ParseVersion(FERROX_PRODUCT_VERSION);
    API_OpenLock(API_LockName);
    plat::setThreadEndHandler(&threadEnded);
    API_ResetState();
}

void API_ProcessDetach() {
    plat::setThreadEndHandler(nullptr);
    ApiMutex.close();
}

namespace {
// The loader's process attach and detach.
struct LibraryLifetime {
    LibraryLifetime() { API_ProcessAttach(); }
    ~LibraryLifetime() { API_ProcessDetach(); }
    LibraryLifetime(const LibraryLifetime &) = delete;
    LibraryLifetime &operator=(const LibraryLifetime &) = delete;
};
LibraryLifetime lifetime;
} // namespace

// ---------------------------------------------------------------- exports

extern "C" {

int FERROX_CALL FERROX_Open(FERROX_OUTPUT_FUNC pfLogOut, FERROX_OUTPUT_FUNC pfErrorOut) {
    return lockFrame<int>("FERROX_Open", [&] {
        MAIN_LogString("FERROX_Open(...)");
        const int r = OpenConnection(pfLogOut, pfErrorOut);
        if (r == 0) {
            MAIN_LogString("  returns O.K.\n");
        } else {
            r2(r);
        }
        return r;
    });
}

void FERROX_CALL FERROX_CloseEx(U8 RunMode) {
    CloseConnection("FERROX_CloseEx", RunMode);
}

void FERROX_CALL FERROX_Close(void) {
    CloseConnection("FERROX_Close", 0);
}

U8 FERROX_CALL FERROX_IsOpen(void) {
    return lockFrame<U8>("FERROX_IsOpen", [] {
        MAIN_LogString("FERROX_IsOpen()");
        return static_cast<U8>(r2(g.IsOpen));
    });
}

void FERROX_CALL FERROX_ClrError(void) {
    API_Lock("FERROX_ClrError");
    MAIN_LogString("FERROX_ClrError()");
    pDeviceOps->ClrError();
    nl();
    API_Unlock();
}

int FERROX_CALL FERROX_HasError(void) {
    return lockFrame<int>("FERROX_HasError", [] { return g.IsOpen != 0 ? pDeviceOps->HasError() : -1; });
}

int FERROX_CALL FERROX_GetDLLVersion(void) {
    return lockFrame<int>("FERROX_GetDLLVersion", [] {
        MAIN_Log("FERROX_GetDLLVersion()  returns %d\n", DllVersion);
        return DllVersion;
    });
}

const char *FERROX_CALL FERROX_GetCompileDateTime(void) {
    return lockFrame<const char *>("FERROX_GetCompileDateTime", [] {
        MAIN_LogString("FERROX_GetCompileDateTime()\n");
        return MAIN_CompileDateTime;
    });
}

U8 FERROX_CALL FERROX_SelectUSB(int Port) {
    return lockFrame<U8>("FERROX_SelectUSB", [&] {
        MAIN_Log("FERROX_SelectUSB(Port = %d)", Port);
        return static_cast<U8>(r2(LINK_SelectUSB(Port)));
    });
}

U8 FERROX_CALL FERROX_SelectTCPIP(const char *sHost, int Port) {
    return lockFrame<U8>("FERROX_SelectTCPIP", [&] {
        MAIN_Log("FERROX_SelectTCPIP(%s, %d)", orNull(sHost), Port);
        return static_cast<U8>(r2(LINK_SelectTCPIP(sHost, Port)));
    });
}

void FERROX_CALL FERROX_SetLogFile(const char *sFilename) {
    API_Lock("FERROX_SetLogFile");
    MAIN_SetLogFile(sFilename);
    API_Unlock();
}

// ------------------------------------------------------------ target CPU

int FERROX_CALL FERROX_CPU_Abort(void) {
    return lockFrame<int>("FERROX_CPU_Abort", [] {
        MAIN_LogString("FERROX_CPU_Abort()");
        return r2(pDeviceOps->Abort());
    });
}

int FERROX_CALL FERROX_CPU_CalcSign(int Instance, int NumBytes, U8 *pData) {
    return enterFrame<int>("FERROX_CPU_CalcSign", -2, [&] {
        MAIN_LogString("FERROX_CPU_CalcSign()");
        const int r = pDeviceOps->CalcSign(Instance, NumBytes, pData);
        // The signature's three bytes, as far as the caller's buffer holds them.
        MAIN_LogData(pData, NumBytes < 3 ? (NumBytes > 0 ? static_cast<U32>(NumBytes) : 0u) : 3u);
        return r2(r);
    });
}

int FERROX_CALL FERROX_CPU_ClrWatchp(void) {
    return enterFrame<int>("FERROX_CPU_ClrWatchp", -1, [] {
        MAIN_LogString("FERROX_CPU_ClrWatchp()");
        return r2(pDeviceOps->SendCommand(C_CLR_WATCHP, 1));
    });
}

int FERROX_CALL FERROX_CPU_CopyPage(U32 srcAddr, U32 desAddr) {
    return enterFrame<int>("FERROX_CPU_CopyPage", -1, [&] {
        MAIN_Log("FERROX_CPU_CopyPage(0x%.4X scrAddr, 0x%.4X desAddr)", srcAddr, desAddr);
        return r2(pDeviceOps->CopyPage(srcAddr, desAddr));
    });
}

int FERROX_CALL FERROX_CPU_EnterMonitor(void) {
    return lockFrame<int>("FERROX_CPU_EnterMonitor", [] {
        MAIN_LogString("FERROX_CPU_EnterMonitor()");
        return r2(pDeviceOps->EnterMonitor());
    });
}

int FERROX_CALL FERROX_CPU_Erase(void) {
    return lockFrame<int>("FERROX_CPU_Erase", [] {
        MAIN_LogString("FERROX_CPU_Erase()");
        return r2(pDeviceOps->Erase());
    });
}

int FERROX_CALL FERROX_CPU_GetData(U32 Addr, U32 NumBytes, U8 *pData) {
    return enterFrame<int>("FERROX_CPU_GetData", -1, [&] {
        MAIN_Log("FERROX_CPU_GetData (0x%.8X, 0x%.4X Bytes, ...)", Addr, NumBytes);
        const int r = pDeviceOps->GetData(Addr, NumBytes, pData);
        logDump(pData, NumBytes, kMaxBytes);
        return r2(r);
    });
}

int FERROX_CALL FERROX_CPU_GetEEPROM(U32 Addr, U32 NumBytes, U8 *pData) {
    return enterFrame<int>("FERROX_CPU_GetEEPROM", -1, [&] {
        MAIN_Log("FERROX_CPU_GetEEPROM (0x%.8X, 0x%.4X Bytes, ...)", Addr, NumBytes);
        const int r = pDeviceOps->GetEEPROM(Addr, NumBytes, pData);
        logDump(pData, NumBytes, kMaxBytes);
        return r2(r);
    });
}

int FERROX_CALL FERROX_CPU_GetEROM(U32 Addr, U32 NumBytes, U8 *pData) {
    return enterFrame<int>("FERROX_CPU_GetEROM", -1, [&] {
        MAIN_Log("FERROX_CPU_GetEROM (0x%.8X, 0x%.4X Bytes, ...)", Addr, NumBytes);
        const int r = pDeviceOps->GetEROM(Addr, NumBytes, pData);
        logDump(pData, NumBytes, kMaxBytes);
        return r2(r);
    });
}

int FERROX_CALL FERROX_CPU_GetLastResponse(void) {
    return enterFrame<int>("FERROX_CPU_GetLastResponse", -1, [] {
        MAIN_LogString("FERROX_CPU_GetLastResponse");
        return r2(pDeviceOps->GetLastResponse());
    });
}

U32 FERROX_CALL FERROX_CPU_GetReg(int RegIndex) {
    return enterFrame<U32>("FERROX_CPU_GetReg", static_cast<U32>(-1), [&] {
        MAIN_Log("FERROX_CPU_GetReg(%s)", registerName(RegIndex));
        return r8(pDeviceOps->GetReg(RegIndex));
    });
}

int FERROX_CALL FERROX_CPU_GetRegsAll(TAMSA_REGISTERS *pRegs) {
    return enterFrame<int>("FERROX_CPU_GetRegsAll", -1, [&] {
        MAIN_LogString("FERROX_CPU_GetRegsAll()");
        return r8i(pDeviceOps->GetRegsAll(pRegs));
    });
}

int FERROX_CALL FERROX_CPU_GetStatus(U8 SuppressErrorOut) {
    return enterFrame<int>("FERROX_CPU_GetStatus", -1, [&] {
        MAIN_LogString("FERROX_CPU_GetStatus");
        return r2(pDeviceOps->GetStatus(SuppressErrorOut));
    });
}

int FERROX_CALL FERROX_CPU_GetULP(U32 Addr, U32 NumPages, U32 *pData) {
    return enterFrame<int>("FERROX_CPU_GetULP", -1, [&] {
        MAIN_Log("FERROX_CPU_GetULP (0x%.8X, 0x%.4X Pages, ...)", Addr, NumPages);
        const int r = pDeviceOps->GetULP(Addr, NumPages, pData);
        logDump(pData, NumPages, kMaxUlpPages);
        return r2(r);
    });
}

int FERROX_CALL FERROX_CPU_GetVersion(U32 *pData) {
    return enterFrame<int>("FERROX_CPU_GetVersion", -1, [&] {
        MAIN_LogString("FERROX_CPU_GetVersion()");
        const int r = pDeviceOps->GetVersion(pData);
        // Dumped whenever a buffer is given: " -- Data: " alone for no items.
        // A failed call (-1) has put nothing there.
        if (pData != nullptr) {
            MAIN_LogData(reinterpret_cast<const U8 *>(pData), r > 0 ? 4u * static_cast<U32>(r) : 0u);
        }
        return r2(r);
    });
}

int FERROX_CALL FERROX_CPU_Go(void) {
    return enterFrame<int>("FERROX_CPU_Go", -1, [] {
        MAIN_LogString("FERROX_CPU_Go()");
        const int r = pDeviceOps->Go();
        nl();
        return r;
    });
}

int FERROX_CALL FERROX_CPU_Halt(void) {
    return enterFrame<int>("FERROX_CPU_Halt", -1, [] {
        MAIN_LogString("FERROX_CPU_Halt()");
        return r2(pDeviceOps->Halt());
    });
}

int FERROX_CALL FERROX_CPU_IoTest(int Flag) {
    return enterFrame<int>("FERROX_CPU_IoTest", -1, [&] {
        MAIN_LogString(Flag != 0 ? "FERROX_CPU_IoTest start" : "FERROX_CPU_IoTest stop");
        return r2(pDeviceOps->IoTest(Flag));
    });
}

int FERROX_CALL FERROX_CPU_IsHalted(void) {
    return enterFrame<int>("FERROX_CPU_IsHalted", 0, [] {
        MAIN_LogString("FERROX_CPU_IsHalted()");
        return r8i(pDeviceOps->IsHalted());
    });
}

int FERROX_CALL FERROX_CPU_IsHaltedEx(U8 SuppressErrorOut) {
    return enterFrame<int>("FERROX_CPU_IsHaltedEx", 0, [&] {
        MAIN_LogString("FERROX_CPU_IsHaltedEx()");
        return r8i(pDeviceOps->IsHaltedEx(SuppressErrorOut));
    });
}

int FERROX_CALL FERROX_CPU_IsProtected(void) {
    return enterFrame<int>("FERROX_CPU_IsProtected", 0, [] {
        MAIN_LogString("FERROX_CPU_IsProtected()");
        return r8i(pDeviceOps->IsProtected());
    });
}

int FERROX_CALL FERROX_CPU_PowerOnReset(void) {
    return lockFrame<int>("FERROX_CPU_PowerOnReset", [] {
        MAIN_LogString("FERROX_CPU_PowerOnReset()");
        return r2(pDeviceOps->PowerOnReset());
    });
}

int FERROX_CALL FERROX_CPU_ProgEEPROM(U32 Addr, U32 NumBytes, const U8 *pData) {
    return enterFrame<int>("FERROX_CPU_ProgEEPROM", -1, [&] {
        MAIN_Log("FERROX_CPU_ProgEEPROM(0x%.8X, 0x%.4X Bytes, ...)", Addr, NumBytes);
        logDump(pData, NumBytes, kMaxBytes);
        return r2(pDeviceOps->ProgEEPROM(Addr, NumBytes, pData));
    });
}

int FERROX_CALL FERROX_CPU_ProgEROM(U32 Addr, U32 NumBytes, const U8 *pData) {
    return enterFrame<int>("FERROX_CPU_ProgEROM", -1, [&] {
        MAIN_Log("FERROX_CPU_ProgEROM(0x%.8X, 0x%.4X Bytes, ...)", Addr, NumBytes);
        logDump(pData, NumBytes, kMaxBytes);
        return r2(pDeviceOps->ProgEROM(Addr, NumBytes, pData));
    });
}

int FERROX_CALL FERROX_CPU_ProgPfBits(U32 Address, int Offset, int NumBits, const U8 *pData) {
    return enterFrame<int>("FERROX_CPU_ProgPfBits", -1, [&] {
        MAIN_Log("FERROX_CPU_ProgPfBits(0x%.4X Addr, %i Offset, %i NumBits)", Address, Offset, NumBits);
        return r2(pDeviceOps->ProgPfBits(Address, Offset, NumBits, pData));
    });
}

int FERROX_CALL FERROX_CPU_ProgULP(U32 Addr, U32 NumPages, const U32 *pData) {
    return enterFrame<int>("FERROX_CPU_ProgULP", -1, [&] {
        MAIN_Log("FERROX_CPU_ProgULP(0x%.8X, 0x%.4X Pages, ...)", Addr, NumPages);
        logDump(pData, NumPages, kMaxBytes);
        return r2(pDeviceOps->ProgULP(Addr, NumPages, pData));
    });
}

int FERROX_CALL FERROX_CPU_ProgUlpBytes(U32 Addr, U32 Mask, U32 Data) {
    return enterFrame<int>("FERROX_CPU_ProgUlpBytes", -1, [&] {
        MAIN_Log("FERROX_CPU_ProgUlpBytes(0x%.4X, 0x%.4X Mask, 0x%.8X Data)", Addr, Mask, Data);
        return r2(pDeviceOps->ProgUlpBytes(Addr, Mask, Data));
    });
}

int FERROX_CALL FERROX_CPU_Protect(void) {
    return enterFrame<int>("FERROX_CPU_Protect", -1, [] {
        MAIN_LogString("FERROX_CPU_Protect()");
        return r2(pDeviceOps->Protect());
    });
}

int FERROX_CALL FERROX_CPU_Reset(void) {
    return enterFrame<int>("FERROX_CPU_Reset", -1, [] {
        MAIN_LogString("FERROX_CPU_Reset()");
        return r8i(pDeviceOps->Reset());
    });
}

int FERROX_CALL FERROX_CPU_SendCommand(U32 Command, U32 Mode) {
    return enterFrame<int>("FERROX_CPU_SendCommand", -1, [&] {
        MAIN_Log("FERROX_CPU_SendCommand (Cmd: 0x%.4X, Mode; 0x%.4X )", Command, Mode);
        return r2(pDeviceOps->SendCommand(Command, Mode));
    });
}

int FERROX_CALL FERROX_CPU_SendData(U32 Data) {
    return enterFrame<int>("FERROX_CPU_SendData", -1, [&] {
        MAIN_Log("FERROX_CPU_SendData (0x%.4X Bytes, ...)", Data);
        return r2(pDeviceOps->SendData(Data));
    });
}

int FERROX_CALL FERROX_CPU_SetBaud(U32 Speed) {
    return enterFrame<int>("FERROX_CPU_SetBaud", -1, [&] {
        MAIN_Log("FERROX_CPU_SetBaud(0x%.8X)", Speed);
        return r2(pDeviceOps->SetBaud(Speed));
    });
}

int FERROX_CALL FERROX_CPU_SetBitField(U32 Addr, int Position, int Width, U32 Data) {
    return enterFrame<int>("FERROX_CPU_SetBitField", -1, [&] {
        MAIN_Log("FERROX_CPU_SetBitField(0x%.4X Addr, %i Position, %i Width, 0x%.4X Data)", Addr, Position,
                 Width, Data);
        return r2(pDeviceOps->SetBitField(Addr, Position, Width, Data));
    });
}

int FERROX_CALL FERROX_CPU_SetData(U32 Addr, U32 NumBytes, const U8 *pData) {
    return enterFrame<int>("FERROX_CPU_SetData", -1, [&] {
        MAIN_Log("FERROX_CPU_SetData(0x%.8X, 0x%.4X Bytes, ...)", Addr, NumBytes);
        logDump(pData, NumBytes, kMaxBytes);
        return r2(pDeviceOps->SetData(Addr, NumBytes, pData));
    });
}

int FERROX_CALL FERROX_CPU_SetReg(int RegIndex, U32 Data) {
    return enterFrame<int>("FERROX_CPU_SetReg", -1, [&] {
        MAIN_Log("FERROX_CPU_SetReg(%s, 0x%.8X)", registerName(RegIndex), Data);
        return r2(pDeviceOps->SetReg(RegIndex, Data));
    });
}

int FERROX_CALL FERROX_CPU_Step(void) {
    return enterFrame<int>("FERROX_CPU_Step", 1, [] {
        MAIN_LogString("FERROX_CPU_Step()");
        return r2(pDeviceOps->Step());
    });
}

int FERROX_CALL FERROX_CPU_Unprotect(const char *sHexKey) {
    return enterFrame<int>("FERROX_CPU_Unprotect", 4, [&] {
        MAIN_LogString("FERROX_CPU_Unprotect()");
        return r2(pDeviceOps->Unprotect(sHexKey));
    });
}

U32 FERROX_CALL FERROX_CPU_WriteBP(U32 Addr, U32 Flags) {
    return enterFrame<U32>("FERROX_CPU_WriteBP", static_cast<U32>(-1), [&] {
        MAIN_Log("FERROX_CPU_WriteBP(0x%.8X, 0x%.8X)", Addr, Flags);
        return r8(pDeviceOps->WriteBP(Addr, Flags));
    });
}

// ------------------------------------------------------- probe (emulator)

int FERROX_CALL FERROX_EMU_ControlSystemBuffer(U8 Cmd, int /*Reserved*/) {
    return enterFrame<int>("FERROX_EMU_ControlSystemBuffer", 0, [&] {
        MAIN_LogString("FERROX_EMU_ControlSystemBuffer()");
        return r2(EMU_ControlBuffer(EMU_KIND_SYSTEM_BUFFER, Cmd));
    });
}

int FERROX_CALL FERROX_EMU_ControlUserBuffer(U8 Cmd, int /*Reserved*/) {
    return enterFrame<int>("FERROX_EMU_ControlUserBuffer", 0, [&] {
        MAIN_LogString("FERROX_EMU_ControlUserBuffer()");
        return r2(EMU_ControlBuffer(EMU_KIND_USER_BUFFER, Cmd));
    });
}

int FERROX_CALL FERROX_EMU_ExecCommand(const char *sCommand, char *pResponse, int ResponseSize) {
    if (pResponse != nullptr && ResponseSize > 0) {
        pResponse[0] = '\0';
    }
    return enterFrame<int>("FERROX_EMU_ExecCommand", 0,
                           [&] { return FW_ExecCommand(sCommand, pResponse, ResponseSize); });
}

U32 FERROX_CALL FERROX_EMU_GetCaps(void) {
    return enterFrame<U32>("FERROX_EMU_GetCaps", 0, [] {
        MAIN_LogString("FERROX_EMU_GetCaps()");
        return static_cast<U32>(r2(static_cast<int>(EMU_GetCaps(0))));
    });
}

void FERROX_CALL FERROX_EMU_GetFirmwareString(char *pBuffer, int BufferSize) {
    if (pBuffer != nullptr && BufferSize > 0) {
        pBuffer[0] = '\0';
    }
    enterFrame<int>("FERROX_EMU_GetFirmwareString", 0, [&] {
        MAIN_LogString("FERROX_EMU_GetFirmwareString(...)");
        EMU_GetFirmwareString(pBuffer, BufferSize);
        nl();
        return 0;
    });
}

int FERROX_CALL FERROX_EMU_GetHWStatus(FERROX_HW_STATUS *pStatus) {
    if (pStatus != nullptr) {
        std::memset(pStatus, 0, sizeof *pStatus);
    }
    return enterFrame<int>("FERROX_EMU_GetHWStatus", -1, [&] {
        MAIN_LogString("FERROX_EMU_GetHWStatus(...)");
        return r2(EMU_GetHWStatus(pStatus));
    });
}

int FERROX_CALL FERROX_EMU_GetHWVersion(void) {
    return enterFrame<int>("FERROX_EMU_GetHWVersion", -1, [] {
        MAIN_LogString("FERROX_EMU_GetHWVersion()");
        return r2(static_cast<int>(EMU_GetHWVersion()));
    });
}

int FERROX_CALL FERROX_EMU_GetSN(void) {
    return enterFrame<int>("FERROX_EMU_GetSN", -1, [] { return EMU_GetSN(); });
}

int FERROX_CALL FERROX_EMU_ReadConfigMem(U8 *pData, U32 Off, U32 NumBytes) {
    return enterFrame<int>("FERROX_EMU_ReadConfigMem", 0, [&] {
        MAIN_Log("FERROX_EMU_ReadConfigMem(..., Off = 0x%.2X, NumBytes = 0x%.2X)", Off, NumBytes);
        return r2(EMU_ReadConfigMemCopy(pData, Off, NumBytes));
    });
}

int FERROX_CALL FERROX_EMU_ReadSystemBuffer(U32 NumItems, U16 *pData) {
    return enterFrame<int>("FERROX_EMU_ReadSystemBuffer", -1, [&] {
        MAIN_Log("FERROX_EMU_ReadSystemBuffer (0x%.4X Bytes, ...)", NumItems);
        const int r = EMU_ReadBuffer(EMU_KIND_SYSTEM_BUFFER, NumItems, pData);
        if (pData != nullptr) {
            logDump(pData, NumItems, kMaxItems);
        }
        return r2(r);
    });
}

int FERROX_CALL FERROX_EMU_ReadUserBuffer(U32 NumItems, U16 *pData) {
    return enterFrame<int>("FERROX_EMU_ReadUserBuffer", -1, [&] {
        MAIN_Log("FERROX_EMU_ReadUserBuffer (0x%.4X Items, ...)", NumItems);
        const int r = EMU_ReadBuffer(EMU_KIND_USER_BUFFER, NumItems, pData);
        if (pData != nullptr) {
            logDump(pData, NumItems, kMaxItems);
        }
        return r2(r);
    });
}

int FERROX_CALL FERROX_EMU_SetUSBAddr(U32 Addr) {
    return enterFrame<int>("FERROX_EMU_SetUSBAddr", -1, [&] {
        MAIN_Log("FERROX_EMU_SetUSBAddr(0x%.4X)", Addr);
        return r4(EMU_SetUSBAddr(Addr));
    });
}

int FERROX_CALL FERROX_EMU_SwitchInterface(U8 Mode) {
    return enterFrame<int>("FERROX_EMU_SwitchInterface", -1, [&] {
        MAIN_Log("FERROX_EMU_SwitchInterface(0x%.2X)", Mode);
        return r2(pDeviceOps->SwitchInterface(Mode));
    });
}

int FERROX_CALL FERROX_EMU_SwitchPower(U8 Mode) {
    return enterFrame<int>("FERROX_EMU_SwitchPower", -1, [&] {
        MAIN_Log("FERROX_EMU_SwitchPower(0x%.2X)", Mode);
        return r2(pDeviceOps->SwitchPower(Mode));
    });
}

int FERROX_CALL FERROX_EMU_SwitchPowerEx(U8 Mode) {
    return enterFrame<int>("FERROX_EMU_SwitchPowerEx", -1, [&] {
        MAIN_Log("FERROX_EMU_SwitchPowerEx(0x%.2X)", Mode);
        // Only probes that announce the extended supply switch get it.
        if ((EMU_GetCaps(0) & EMU_CAP_SWITCH_POWER_EX) == 0) {
            return r2(1);
        }
        return r2(pDeviceOps->SwitchPowerEx(Mode));
    });
}

int FERROX_CALL FERROX_EMU_WriteConfigMem(const U8 *pData, U32 Off, U32 NumBytes) {
    return enterFrame<int>("FERROX_EMU_WriteConfigMem", 0, [&] {
        MAIN_Log("FERROX_EMU_WriteConfigMem(..., Off = 0x%.2X, NumBytes = 0x%.2X)", Off, NumBytes);
        return r2(EMU_WriteConfigMemBytes(pData, Off, NumBytes));
    });
}

} // extern "C"
