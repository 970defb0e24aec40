/*
 * Object manager pieces drivers use: references on kernel objects and
 * handles to them.
 */
#pragma once

#include "vk/basetypes.h"
#include "vk/ke.h"

VK_BEGIN_C

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern NTKERNELAPI POBJECT_TYPE *IoFileObjectType;
extern NTKERNELAPI POBJECT_TYPE *IoDeviceObjectType;
extern NTKERNELAPI POBJECT_TYPE *IoDriverObjectType;
extern NTKERNELAPI POBJECT_TYPE *PsThreadType;
extern NTKERNELAPI POBJECT_TYPE *PsProcessType;
extern NTKERNELAPI POBJECT_TYPE *ExEventObjectType;
extern NTKERNELAPI POBJECT_TYPE *ExSemaphoreObjectType;

NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#define ObDereferenceObjectWithTag(Object, Tag) ObfDereferenceObject(Object)
#define ObReferenceObjectWithTag(Object, Tag) ObfReferenceObject(Object)
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode);
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                     PVOID *Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI VOID NTAPI ObMakeTemporaryObject(PVOID Object);

VK_END_C
