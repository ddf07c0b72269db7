/* Ferrox: target command codes, command modes, target status codes, halt
 * states and the bits of the device status word. */
#ifndef FERROX_CONST_H
#define FERROX_CONST_H

/* Target command codes */
#define C_ABORT 0x0000
#define C_RUN 0x0001
#define C_TRACE 0x0002
#define C_GET_DATA 0x0003
#define C_SET_DATA 0x0004
#define C_GET_REGS 0x0005
#define C_SET_REGS 0x0006
#define C_SET_BP 0x0007
#define C_PROG_PF_WORD 0x0008
#define C_PROG_PF_PAGE 0x0009
#define C_PROG_EE_BYTES 0x000A
#define C_PROG_ULP_PAGE 0x000B
#define C_GET_ULP_PAGES 0x000C
#define C_GET_EE_BYTES 0x000D
#define C_GET_PF_WORDS 0x000E
#define C_RESET 0x000F
#define C_PROTECT 0x0010
#define C_ERASE 0x0011
#define C_CALC_SIGN 0x0012
#define C_GET_VERSION 0x0013
#define C_PROG_ULP_BYTES 0x0014
#define C_PROG_PF_BITS 0x0016
#define C_IO_TEST 0x0017
#define C_SET_BIT_FIELD 0x0018
#define C_COPY_PAGE 0x0019
#define C_UNPROTECT 0x001A
#define C_STOP 0x3c00
#define C_CLR_WATCHP 0xB800
#define C_SET_BAUD_RATE 0xBC00
#define C_GET_DEV_STAT 0xFFFF

/* Command modes */
#define CMD_MODE_TX (1 << 0)
#define CMD_MODE_RX (1 << 1)
#define CMD_MODE_RX_TX (CMD_MODE_TX | CMD_MODE_RX)

/* Target status codes */
#define TAMSA_STATUS_CODE_OK 0x0000
#define TAMSA_STATUS_CODE_STOP 0x0001
#define TAMSA_STATUS_CODE_HWBP_HIT 0x0002
#define TAMSA_STATUS_CODE_BOOT_MONITOR 0x0003
#define TAMSA_STATUS_CODE_CMD_ERROR 0x0004
#define TAMSA_STATUS_CODE_ABORT 0x0005
#define TAMSA_STATUS_CODE_PARAMETER 0x0006
#define TAMSA_STATUS_CODE_NV_ERROR 0x0007
#define TAMSA_STATUS_CODE_SWBP_HIT 0x0008
#define TAMSA_STATUS_CODE_NA (-1)
#define TAMSA_STATUS_CODE_INVALID (-2)
#define TAMSA_STATUS_CODE_NOT_SENT (-3)

/* Halt states (results of FERROX_CPU_IsHalted) */
#define FERROX_HALT_STATE_RUNNING 0
#define FERROX_HALT_STATE_HWBP 1
#define FERROX_HALT_STATE_SWBP 2
#define FERROX_HALT_STATE_UNKNOWN (-1)
#define FERROX_HALT_STATE_USER (-2)
#define FERROX_HALT_STATE_ERROR (-3)
#define FERROX_HALT_STATE_POWEROFF (-4)

/* Device status word (answer of C_GET_DEV_STAT) */
#define DEV_STAT_MODE_MASK 0x0007u
#define DEV_STAT_MODE_VIRGIN 1
#define DEV_STAT_MODE_RETEST 2
#define DEV_STAT_MODE_INIT 3
#define DEV_STAT_MODE_PROTECTED 4
#define DEV_STAT_MODE_TAMPERED 5
#define DEV_STAT_WATCHP_MASK 0x03C0u
#define DEV_STAT_WATCHP_SHIFT 6
#define DEV_STAT_CPU_IDLE (1u << 10)
#define DEV_STAT_EXEC_SYSTEM (1u << 11)
#define DEV_STAT_MONITOR (1u << 12)
#define DEV_STAT_VALID_MASK 0xC000u

#endif /* FERROX_CONST_H */
