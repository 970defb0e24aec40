/* SCSI port control codes, pass-through records (64- and 32-bit forms) and the SCSI address. */
#pragma once

#include "devioctl.h"

#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER

#define IOCTL_SCSI_PASS_THROUGH CTL_CODE(IOCTL_SCSI_BASE, 0x0401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_MINIPORT CTL_CODE(IOCTL_SCSI_BASE, 0x0402, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_GET_INQUIRY_DATA CTL_CODE(IOCTL_SCSI_BASE, 0x0403, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_GET_CAPABILITIES CTL_CODE(IOCTL_SCSI_BASE, 0x0404, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_PASS_THROUGH_DIRECT \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0405, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_GET_ADDRESS CTL_CODE(IOCTL_SCSI_BASE, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_RESCAN_BUS CTL_CODE(IOCTL_SCSI_BASE, 0x0407, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_GET_DUMP_POINTERS CTL_CODE(IOCTL_SCSI_BASE, 0x0408, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

typedef struct _SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG_PTR DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH, *PSCSI_PASS_THROUGH;

typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

/* The records a 32-bit process sends: 4-byte buffer field, 44 bytes. */
typedef struct _SCSI_PASS_THROUGH32 {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG32 DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH32, *PSCSI_PASS_THROUGH32;

typedef struct _SCSI_PASS_THROUGH_DIRECT32 {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG32 DataBuffer; /* a 32-bit process's pointer */
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT32, *PSCSI_PASS_THROUGH_DIRECT32;

typedef struct _SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;

typedef struct _IO_SCSI_CAPABILITIES {
    ULONG Length;
    ULONG MaximumTransferLength;
    ULONG MaximumPhysicalPages;
    ULONG SupportedAsynchronousEvents;
    ULONG AlignmentMask;
    BOOLEAN TaggedQueuing;
    BOOLEAN AdapterScansDown;
    BOOLEAN AdapterUsesPio;
} IO_SCSI_CAPABILITIES, *PIO_SCSI_CAPABILITIES;

#ifdef __cplusplus
static_assert(sizeof(SCSI_PASS_THROUGH) == 56, "SCSI_PASS_THROUGH x64 layout");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24, "SCSI_PASS_THROUGH x64 layout");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32, "SCSI_PASS_THROUGH x64 layout");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36, "SCSI_PASS_THROUGH x64 layout");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "SCSI_PASS_THROUGH_DIRECT x64 layout");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24, "SCSI_PASS_THROUGH_DIRECT x64 layout");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36, "SCSI_PASS_THROUGH_DIRECT x64 layout");
static_assert(sizeof(SCSI_PASS_THROUGH32) == 44, "SCSI_PASS_THROUGH32 layout");
static_assert(offsetof(SCSI_PASS_THROUGH32, DataBufferOffset) == 20, "SCSI_PASS_THROUGH32 layout");
static_assert(offsetof(SCSI_PASS_THROUGH32, SenseInfoOffset) == 24, "SCSI_PASS_THROUGH32 layout");
static_assert(offsetof(SCSI_PASS_THROUGH32, Cdb) == 28, "SCSI_PASS_THROUGH32 layout");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT32) == 44, "SCSI_PASS_THROUGH_DIRECT32 layout");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT32, DataBuffer) == 20, "SCSI_PASS_THROUGH_DIRECT32 layout");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS layout");
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004, "SCSI control code");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014, "SCSI control code");
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018, "SCSI control code");
#endif
