// TCP/IP transport: the probe behind a Quidor TCP/IP server.
#pragma once

#include "Ferrox.h"

#include "plat/stream.h"

#include <memory>

enum : int { IP_TIMEOUT_MS = 5000, IP_MAX_PAYLOAD = 65535 };

int IP_Connect();
void IP_Close();
int IP_Read(U8 *p, int n);
int IP_Write(const U8 *p, int n);
int IP_WriteRead(const U8 *pOut, int nOut, U8 *pIn, int nIn);
// As IP_WriteRead, but a server answer of nMin..nIn bytes is taken as it is.
int IP_WriteReadUpTo(const U8 *pOut, int nOut, U8 *pIn, int nIn, int nMin);

void IP_Scramble(const U8 *pPlain, U8 *pWire, int n);
void IP_Unscramble(U8 *p, int n);

// False (nothing kept) for a null, empty or over-long host.
bool IP_SetServer(const char *sHost, U16 Port);
const char *IP_GetServerHost();
U16 IP_GetServerPort();
U8 IP_HasCommError();
void IP_ClearCommError();
void IP_SetErrorSink(FERROX_OUTPUT_FUNC pfErrorSink);
bool IP_HasSocket();
// Reads the server's greeting on the connection in place (tests and fuzzing
// hand in a connected stream with IP_AdoptStream). 1 ok, 0 failed.
int IP_ReadGreeting(U32 Address);
void IP_AdoptStream(std::unique_ptr<plat::ByteStream> Stream);
// Back to the state at load: no server, no connection (an open one is closed).
void IP_ResetState();
