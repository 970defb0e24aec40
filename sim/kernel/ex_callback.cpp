// Callback objects (\Callback\<name>): how drivers that load independently of one another tell each
// other of events. ExNotifyCallback calls every registered routine in the notifier's thread at its
// IRQL, outside the object's lock, as Windows does; ExUnregisterCallback waits until no call of
// that registration runs, so that a routine is never entered after its driver let go of it.

#include <condition_variable>
#include <list>
#include <new>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {
namespace {

struct CallbackObject;

struct Registration {
    CallbackObject* owner = nullptr;
    PCALLBACK_FUNCTION function = nullptr;
    PVOID context = nullptr;
    int running = 0;       // calls in progress
    bool removed = false;  // ExUnregisterCallback has begun
};

struct CallbackObject {
    std::mutex mutex;
    std::condition_variable idle;
    bool allowMultiple = false;
    std::u16string name;
    std::list<Registration*> registrations;
};

void DestroyCallback(void* body) {
    auto* object = static_cast<CallbackObject*>(body);
    for (Registration* registration : object->registrations) delete registration;
    object->~CallbackObject();
}

_OBJECT_TYPE CallbackObjectType{"Callback", nullptr, DestroyCallback};

CallbackObject* AsCallback(PVOID object, const char* routine) {
    if (!IsObjectOfType(object, &CallbackObjectType)) {
        ReportViolation(std::string(routine) + ": " + Describe(object) + " is not a callback object");
        return nullptr;
    }
    return static_cast<CallbackObject*>(object);
}

}  // namespace

std::vector<std::string> TakeCallbacksOfRange(std::uintptr_t begin, std::uintptr_t end) {
    std::vector<std::string> problems;
    auto* impl = CurrentImpl();
    if (!impl) return problems;
    std::lock_guard machineLock(impl->callbackMutex);
    for (void* body : impl->callbackObjects) {
        auto* object = static_cast<CallbackObject*>(body);
        std::lock_guard lock(object->mutex);
        for (auto it = object->registrations.begin(); it != object->registrations.end();) {
            auto routine = reinterpret_cast<std::uintptr_t>((*it)->function);
            if (routine >= begin && routine < end && !(*it)->removed) {
                problems.push_back("a callback routine still registered with " + Narrow(object->name));
                (*it)->removed = true;  // never called again; the object keeps the record
            }
            ++it;
        }
    }
    return problems;
}

void ReleaseCallbackObjects(sim::Machine::Impl& machine) {
    std::vector<void*> objects;
    {
        std::lock_guard lock(machine.callbackMutex);
        objects.swap(machine.callbackObjects);
    }
    for (void* object : objects) Dereference(object);
}

}  // namespace sim::k

using namespace sim::k;

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ExCreateCallback");
    *CallbackObject = nullptr;
    if (!ObjectAttributes || !ObjectAttributes->ObjectName || !ObjectAttributes->ObjectName->Buffer)
        return STATUS_INVALID_PARAMETER;  // unnamed callback objects are of no use between drivers
    const std::u16string name = FromUnicodeString(ObjectAttributes->ObjectName);
    auto& kernel = Kernel();
    std::lock_guard lock(kernel.callbackMutex);
    void* found = nullptr;
    NTSTATUS status = kernel.names.resolve(name, &found, nullptr);
    if (NT_SUCCESS(status)) {
        if (!IsObjectOfType(found, &CallbackObjectType)) {
            Dereference(found);
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        *CallbackObject = static_cast<PCALLBACK_OBJECT>(found);  // the caller's reference
        return STATUS_SUCCESS;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND || !Create) return status;
    void* body = CreateObject(&CallbackObjectType, sizeof(sim::k::CallbackObject));
    auto* object = new (body) sim::k::CallbackObject;
    object->allowMultiple = AllowMultipleCallbacks != FALSE;
    object->name = name;
    status = kernel.names.insertObject(name, body);
    if (!NT_SUCCESS(status)) {
        Dereference(body);
        return status;
    }
    kernel.callbackObjects.push_back(body);  // the machine's reference (the one CreateObject gave)
    Reference(body);                         // the caller's
    *CallbackObject = static_cast<PCALLBACK_OBJECT>(body);
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "ExRegisterCallback");
    auto* object = AsCallback(CallbackObject, "ExRegisterCallback");
    if (!object || !CallbackFunction) return nullptr;
    std::lock_guard lock(object->mutex);
    std::size_t live = 0;
    for (Registration* registration : object->registrations) live += !registration->removed;
    if (!object->allowMultiple && live != 0) return nullptr;
    auto* registration = new Registration{object, CallbackFunction, CallbackContext};
    object->registrations.push_back(registration);
    Reference(CallbackObject);  // the registration keeps the object
    return registration;
}

VOID ExUnregisterCallback(PVOID CallbackRegistration) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "ExUnregisterCallback");
    auto* registration = static_cast<Registration*>(CallbackRegistration);
    if (!registration || !registration->owner) {
        ReportViolation("ExUnregisterCallback: " + Describe(CallbackRegistration) + " is not a registration");
        return;
    }
    CallbackObject* object = registration->owner;
    {
        std::unique_lock lock(object->mutex);
        registration->removed = true;
        object->idle.wait(lock, [registration] { return registration->running == 0; });
        object->registrations.remove(registration);
    }
    delete registration;
    Dereference(object);
}

VOID ExNotifyCallback(PCALLBACK_OBJECT CallbackObject, PVOID Argument1, PVOID Argument2) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "ExNotifyCallback");
    auto* object = AsCallback(CallbackObject, "ExNotifyCallback");
    if (!object) return;
    std::vector<Registration*> calls;
    {
        std::lock_guard lock(object->mutex);
        for (Registration* registration : object->registrations) {
            if (!registration->removed) {
                ++registration->running;
                calls.push_back(registration);
            }
        }
    }
    for (Registration* registration : calls) {
        registration->function(registration->context, Argument1, Argument2);
        std::lock_guard lock(object->mutex);
        --registration->running;
        object->idle.notify_all();
    }
}
