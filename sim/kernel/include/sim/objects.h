// The object manager's host-side view: the kernel namespace (\Device, \Driver,
// \GLOBAL?? = \?? = \DosDevices), symbolic links, kernel handles and object
// references. Driver-facing routines (IoCreateDevice, ObReferenceObject, ...)
// are the exported NT functions; this header is for host code and tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vk/basetypes.h"

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

namespace sim {

// Closes a kernel handle that is not a registry key (ZwClose forwards here).
NTSTATUS CloseKernelHandle(HANDLE handle);

// Name of an I/O object for messages: a named device's name ("\Device\Tape0"),
// a driver object's name ("\Driver\vorkatbus"); empty for an unnamed device.
std::u16string IoObjectName(const void* ioObject);

// Driver name of the driver that owns an I/O object (device object or driver
// object), e.g. "\Driver\vorkatbus"; empty when unknown.
std::u16string IoObjectDriverName(const void* ioObject);

// The message table that the image of the driver owning `ioObject` exports as
// `VorkaMessageTable`, or nullptr. The bytes belong to the loaded image: read
// them before the call returns (the image may be unloaded later).
const void* IoObjectMessageTable(const void* ioObject);

// Number of references the object manager holds on an object (pointer count), or
// -1 when `object` is not a live kernel object.
std::int64_t ObjectPointerCount(const void* object);

// Host-side namespace queries.
struct NamespaceEntry {
    std::u16string name;         // canonical full name, e.g. \GLOBAL??\Tape0
    bool isSymbolicLink = false;
    std::u16string linkTarget;   // for links
};


// Resolves `name` through symbolic links (\??\X, \DosDevices\X, \GLOBAL??\X are
// the same directory) to a device object. Returns nullptr when nothing is there.
_DEVICE_OBJECT* FindDevice(std::u16string_view name);
// Target of a symbolic link (one step), if `name` is a link.
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view name);
// Every name in the namespace below `directory` (e.g. u"\\Device"), sorted.
std::vector<NamespaceEntry> ListNamespace(std::u16string_view directory);

// The machine's object namespace and kernel handle table, for host code (Machine::objects()).
class ObjectNamespace {
public:
    _DEVICE_OBJECT* findDevice(std::u16string_view name) const { return FindDevice(name); }
    std::optional<std::u16string> linkTarget(std::u16string_view name) const { return SymbolicLinkTarget(name); }
    std::vector<NamespaceEntry> list(std::u16string_view directory) const { return ListNamespace(directory); }
    // Kernel handles (PsCreateSystemThread, ...) that are open now.
    std::size_t openKernelHandles() const;
};

}  // namespace sim
