// The actions of the command table. Each gets the text that follows its
// keyword (starting with the separating space, or empty).
#pragma once

// Execution control, connection and target commands.
void CMD_Go(char *pArgs);
void CMD_Usb(char *pArgs);
void CMD_Tcp(char *pArgs);
void CMD_Abort(char *pArgs);
void CMD_Enter(char *pArgs);
void CMD_PowerOnReset(char *pArgs);
void CMD_PowerDown(char *pArgs);
void CMD_PowerUp(char *pArgs);
void CMD_IOff(char *pArgs);
void CMD_Halt(char *pArgs);
void CMD_HaltGoTest(char *pArgs);
void CMD_StepTest(char *pArgs);
void CMD_IoTest(char *pArgs);
void CMD_SendD(char *pArgs);
void CMD_SendC(char *pArgs);
void CMD_Reset(char *pArgs);
void CMD_Step(char *pArgs);
void CMD_Regs(char *pArgs);
void CMD_Protect(char *pArgs);
void CMD_Unprotect(char *pArgs);
void CMD_Erase(char *pArgs);
void CMD_Log(char *pArgs);
void CMD_SetPC(char *pArgs);
void CMD_SetReg(char *pArgs);
void CMD_SetBP(char *pArgs);
void CMD_ClrBP(char *pArgs);
void CMD_ClrWatchP(char *pArgs);
void CMD_IsHalted(char *pArgs);
void CMD_IsProtected(char *pArgs);
void CMD_Baud(char *pArgs);
void CMD_Verify(char *pArgs);
void CMD_NoVerify(char *pArgs);
void CMD_Sleep(char *pArgs);
void CMD_Echo(char *pArgs);
void CMD_Source(char *pArgs);

// Memory display and write commands.
void CMD_RDat(char *pArgs);
void CMD_WDat(char *pArgs);
void CMD_REROM(char *pArgs);
void CMD_WEROM(char *pArgs);
void CMD_RULP(char *pArgs);
void CMD_WULP(char *pArgs);
void CMD_WUlpBytes(char *pArgs);
void CMD_CopyULP(char *pArgs);
void CMD_REEPROM(char *pArgs);
void CMD_WEEPROM(char *pArgs);
void CMD_CopyPage(char *pArgs);
void CMD_ProgPfBits(char *pArgs);
void CMD_SetBitField(char *pArgs);

// HEX file transfer, fill settings and signatures.
void CMD_Upload(char *pArgs);
void CMD_Download(char *pArgs);
void CMD_FillRange(char *pArgs);
void CMD_FillPattern(char *pArgs);
void CMD_FileSig(char *pArgs);
void CMD_Sig(char *pArgs);

// Probe, status and data buffer commands.
void CMD_UsbAddr(char *pArgs);
void CMD_PowerSel(char *pArgs);
void CMD_RStatusCode(char *pArgs);
void CMD_UserRead(char *pArgs);
void CMD_UserStart(char *pArgs);
void CMD_UserStop(char *pArgs);
void CMD_UserClean(char *pArgs);
void CMD_UserGetCnt(char *pArgs);
void CMD_UserDisp(char *pArgs);
void CMD_SysRead(char *pArgs);
void CMD_SysStart(char *pArgs);
void CMD_SysStop(char *pArgs);
void CMD_SysClean(char *pArgs);
void CMD_SysGetCnt(char *pArgs);
void CMD_SetSN(char *pArgs);
void CMD_InvalidateFW(char *pArgs);
void CMD_DevStat(char *pArgs);
void CMD_Version(char *pArgs);
void CMD_HWStat(char *pArgs);
