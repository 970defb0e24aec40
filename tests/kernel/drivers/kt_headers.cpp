// Compile check of every Windows-named header of the host build, built exactly like a driver
// (-fshort-wchar, no exceptions, no RTTI), with the layouts drivers depend on pinned.
#include <ntddk.h>
#include <ntifs.h>
#include <wdm.h>
#include <ntdef.h>
#include <ntstatus.h>
#include <devioctl.h>
#include <ntddtape.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddchgr.h>
#include <ntstrsafe.h>

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(PVOID) == 8, "LLP64");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "stack location");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters) == 8, "stack location");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, DeviceObject) == 40, "stack location");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, FileObject) == 48, "stack location");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine) == 56, "stack location");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Context) == 64, "stack location");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) == 8 + 0, "ioctl");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 8 + 8, "ioctl");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 8 + 16, "ioctl");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 8 + 24, "ioctl");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Read.Length) == 8 + 0, "read");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Read.Key) == 8 + 8, "read");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 8 + 16, "read");
static_assert(sizeof(IRP) == 0xD0, "IRP");
static_assert(sizeof(KSPIN_LOCK) == 8, "spin lock word");
static_assert(sizeof(KEVENT) == 24 && sizeof(KSEMAPHORE) == 32 && sizeof(FAST_MUTEX) == 56, "dispatcher objects");
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "pass-through");
static_assert(sizeof(SCSI_PASS_THROUGH32) == 44 && sizeof(SCSI_PASS_THROUGH_DIRECT32) == 44, "pass-through 32");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT32, DataBuffer) == 20, "pass-through 32");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI address");
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004 && IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014, "codes");
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018 && IOCTL_STORAGE_RESERVE == 0x2D4810, "codes");
static_assert(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT == 0x2DD01C, "codes");
static_assert(IOCTL_TAPE_SET_POSITION == 0x1F4010 && IOCTL_TAPE_WRITE_MARKS == 0x1FC008, "codes");
static_assert(FILE_DEVICE_TAPE == 0x1F && FILE_DEVICE_CHANGER == 0x30 && FILE_DEVICE_BUS_EXTENDER == 0x2A,
              "device types");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "error log packet");

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    WCHAR text[32];
    NTSTATUS status = RtlStringCbPrintfW(text, sizeof(text), L"%ws-%u", L"headers", 1u);
    if (!NT_SUCCESS(status) || wcslen(text) != 9) return STATUS_UNSUCCESSFUL;
    DriverObject->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}
