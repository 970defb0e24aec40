// The driver loader: service keys, loading a driver image (a private copy
// dlopen'ed with RTLD_LOCAL, so every load starts with fresh globals),
// DriverEntry, DriverUnload, and what is checked when a driver leaves.

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "kinternal.h"
#include "sim/eventlog.h"
#include "sim/registry.h"
#include "sim/trace.h"

using sim::ReportViolation;

namespace sim::k {
namespace {

constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::atomic<unsigned> imageCounter{0};

struct PhdrSearch {
    std::uintptr_t base;
    const char* name;
    std::uintptr_t begin = 0, end = 0;
};

int FindSegments(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<PhdrSearch*>(data);
    if (info->dlpi_addr != search->base || !info->dlpi_name || std::strcmp(info->dlpi_name, search->name) != 0)
        return 0;
    std::uintptr_t low = ~std::uintptr_t(0), high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& phdr = info->dlpi_phdr[i];
        if (phdr.p_type != PT_LOAD) continue;
        low = std::min<std::uintptr_t>(low, info->dlpi_addr + phdr.p_vaddr);
        high = std::max<std::uintptr_t>(high, info->dlpi_addr + phdr.p_vaddr + phdr.p_memsz);
    }
    search->begin = low;
    search->end = high;
    return 1;
}

void Trace(const std::string& line) {
    if (auto* impl = CurrentImpl(); impl && impl->trace) impl->trace->append(line + "\n");
}

}  // namespace

DriverImage::~DriverImage() {
    if (handle) dlclose(handle);
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
}

}  // namespace sim::k

namespace sim::k {

namespace {

DriverManager::Impl& Loader() { return *Kernel().drivers; }

NTSTATUS LoadImage(std::u16string_view service, bool forDevice, DRIVER_OBJECT** driverOut) {
    auto& loader = Loader();
    auto& kernel = *loader.machine;
    const std::u16string key = Upcase(service);
    {
        std::lock_guard lock(loader.mutex);
        auto it = loader.loaded.find(key);
        if (it != loader.loaded.end()) {
            *driverOut = it->second;
            return STATUS_IMAGE_ALREADY_LOADED;
        }
    }
    const std::u16string serviceKey = std::u16string(kServices) + std::u16string(service);
    if (!kernel.registry->keyExists(serviceKey)) {
        Trace("vkernel: service " + Narrow(service) + " is not installed");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string base(service);
    if (auto imagePath = kernel.registry->string(serviceKey, u"ImagePath"); imagePath && !imagePath->empty()) {
        std::u16string file = *imagePath;
        if (auto slash = file.find_last_of(u"\\/"); slash != std::u16string::npos) file = file.substr(slash + 1);
        if (auto dot = file.rfind(u'.'); dot != std::u16string::npos) file = file.substr(0, dot);
        if (!file.empty()) base = file;
    }
    std::filesystem::path source = kernel.config.driverDirectory / (Narrow(base) + ".so");
    std::error_code error;
    if (!std::filesystem::exists(source, error)) {
        Trace("vkernel: image " + source.string() + " of service " + Narrow(service) + " not found");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vorka-images-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir, error);
    std::filesystem::path copy = dir / (Narrow(base) + "-" + std::to_string(imageCounter.fetch_add(1)) + ".so");
    if (!std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing, error)) {
        Trace("vkernel: cannot copy " + source.string() + ": " + error.message());
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto image = std::make_shared<DriverImage>();
    image->service = std::u16string(service);
    image->path = copy.string();
    image->handle = dlopen(image->path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image->handle) {
        const char* why = dlerror();
        Trace("vkernel: cannot load " + source.string() + ": " + (why ? why : "?"));
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    image->entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image->handle, "DriverEntry"));
    image->messageTable = dlsym(image->handle, "VorkaMessageTable");
    if (!image->entry) {
        Trace("vkernel: " + source.string() + " exports no DriverEntry");
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    link_map* map = nullptr;
    if (dlinfo(image->handle, RTLD_DI_LINKMAP, &map) == 0 && map) {
        PhdrSearch search{map->l_addr, map->l_name};
        dl_iterate_phdr(FindSegments, &search);
        image->begin = search.begin;
        image->end = search.end;
    }
    {
        std::unique_lock lock(loader.imagesMutex);
        loader.images.push_back(image);
    }
    DRIVER_OBJECT* driver = CreateDriverObject(service, image, false);
    DriverRecord* record = RecordOf(driver);
    record->pnpDriver = forDevice;
    {
        std::lock_guard lock(loader.mutex);
        loader.loaded[key] = driver;
        ++loader.entries[key];
    }

    UNICODE_STRING registryPath;
    registryPath.Buffer = reinterpret_cast<PWSTR>(record->registryPath.data());
    registryPath.Length = static_cast<USHORT>(record->registryPath.size() * 2);
    registryPath.MaximumLength = registryPath.Length + 2;
    auto& state = Current();
    const KIRQL irql = state.irql;
    NTSTATUS status = image->entry(driver, &registryPath);
    if (state.irql != irql || state.spinLocksHeld || state.criticalRegion) {
        ReportViolation("DriverEntry of " + Narrow(service) + " returned at IRQL " + std::to_string(state.irql) +
                        " with " + std::to_string(state.spinLocksHeld) + " spin lock(s) and critical region depth " +
                        std::to_string(state.criticalRegion));
        state.irql = irql;
        state.spinLocksHeld = 0;
        state.criticalRegion = 0;
    }
    if (!NT_SUCCESS(status)) {
        Trace("vkernel: DriverEntry of " + Narrow(service) + " failed with " + Hex(ULONG(status)));
        record->unloadCalled = true;  // nothing may reach it any more; DriverUnload is not called
        UnloadDriverObject(driver, false);
        return status;
    }
    FinishDeviceInitialization(driver);
    *driverOut = driver;
    return STATUS_SUCCESS;
}

}  // namespace

std::shared_ptr<DriverImage> ImageOfAddress(const void* address) {
    auto* impl = CurrentImpl();
    if (!impl || !impl->drivers || !address) return nullptr;
    auto value = reinterpret_cast<std::uintptr_t>(address);
    std::shared_lock lock(impl->drivers->imagesMutex);
    for (auto& image : impl->drivers->images)
        if (value >= image->begin && value < image->end) return image;
    return nullptr;
}

std::string OwnerNameOf(const DriverImage* image) { return image ? Narrow(image->service) : "kernel"; }

NTSTATUS LoadDriverForDevice(std::u16string_view service, DRIVER_OBJECT** driver) {
    NTSTATUS status = LoadImage(service, true, driver);
    if (status == STATUS_IMAGE_ALREADY_LOADED) {
        RecordOf(*driver)->pnpDriver = true;
        return STATUS_SUCCESS;
    }
    return status;
}

void UnloadDriverObject(DRIVER_OBJECT* driver, bool callUnload) {
    auto& loader = Loader();
    DriverRecord* record = RecordOf(driver);
    const std::string name = Narrow(record->service);
    record->unloadCalled = true;
    if (callUnload && driver->DriverUnload) {
        {
            std::lock_guard lock(loader.mutex);
            ++loader.unloads[Upcase(record->service)];
        }
        auto& state = Current();
        const KIRQL irql = state.irql;
        driver->DriverUnload(driver);
        if (state.irql != irql || state.spinLocksHeld) {
            ReportViolation("DriverUnload of " + name + " returned at IRQL " + std::to_string(state.irql) + " with " +
                            std::to_string(state.spinLocksHeld) + " spin lock(s)");
            state.irql = irql;
            state.spinLocksHeld = 0;
        }
    }
    // What the driver leaves behind.
    std::string devices;
    {
        DeviceList list(driver);
        if (loader.unloadWalkObserver) loader.unloadWalkObserver(record->service);
        for (DEVICE_OBJECT* device : list)
            if (!ExtraOf(device)->deletePending) devices += (devices.empty() ? "" : ", ") + DeviceLabel(device);
    }
    if (!devices.empty()) {
        ReportViolation("driver " + name + " unloaded with device objects left: " + devices);
        Abandon(driver);
    }
    const DriverImage* image = record->image.get();
    if (image) {
        for (auto& leak : TakePoolLeaksOf(image)) ReportViolation(leak);
        for (IrpHeader* irp : TakeLiveIrps(image, loader.machine->generation, false))
            ReportViolation("driver " + name + " unloaded with IRP " + Describe(irp->irp()) +
                            " it allocated still not freed");
        if (int running = image->runningThreads.load())
            ReportViolation("driver " + name + " unloaded while " + std::to_string(running) +
                            " system thread(s) it started still run");
        CancelTimersOfRange(image->begin, image->end);
        for (auto& registration : TakeCallbacksOfRange(image->begin, image->end))
            ReportViolation("driver " + name + " unloaded with " + registration);
        for (auto& object :
             TakeResourcesIn(reinterpret_cast<const void*>(image->begin), image->end - image->begin))
            ReportViolation("driver " + name + " unloaded with its global " + object);
    }
    if (loader.machine->eventLog)
        for (auto& packet : loader.machine->eventLog->takeOutstandingPacketsOf(driver))
            ReportViolation("driver " + name + " unloaded with an error log packet neither written nor freed: " +
                            packet);
    RemoveDriverName(driver);
    {
        std::lock_guard lock(loader.mutex);
        loader.loaded.erase(Upcase(record->service));
    }
    if (record->image) {
        std::unique_lock lock(loader.imagesMutex);
        auto& images = loader.images;
        images.erase(std::remove(images.begin(), images.end(), record->image), images.end());
        loader.retiredImages.push_back(record->image);
    }
    Dereference(driver);  // the loader's reference; the image goes with the last one
}

void UnloadUnusedDrivers() {
    auto* impl = CurrentImpl();
    if (!impl || !impl->drivers) return;
    auto& loader = *impl->drivers;
    std::vector<DRIVER_OBJECT*> unused;
    {
        std::lock_guard lock(loader.mutex);
        std::lock_guard io(impl->ioLock);
        for (auto& [key, driver] : loader.loaded) {
            DriverRecord* record = RecordOf(driver);
            // A Plug and Play driver goes when its last device is gone, if it can unload.
            if (record->pnpDriver && !record->unloadCalled && !driver->DeviceObject && driver->DriverUnload)
                unused.push_back(driver);
        }
    }
    for (DRIVER_OBJECT* driver : unused) UnloadDriverObject(driver, true);
}

std::vector<const DriverImage*> UnloadAllDrivers() {
    std::vector<const DriverImage*> kept;
    auto* impl = CurrentImpl();
    if (!impl || !impl->drivers) return kept;
    std::vector<DRIVER_OBJECT*> all;
    {
        std::lock_guard lock(impl->drivers->mutex);
        for (auto& [key, driver] : impl->drivers->loaded)
            if (!RecordOf(driver)->builtIn) all.push_back(driver);
    }
    for (DRIVER_OBJECT* driver : all) {
        DriverRecord* record = RecordOf(driver);
        bool inUse = false;
        if (record->pnpDriver)
            for (DEVICE_OBJECT* device : DeviceList(driver)) inUse = inUse || !ExtraOf(device)->deletePending;
        if (inUse) {
            // Windows never unloads a Plug and Play driver that still owns device objects (here
            // ones it created outside any device stack); it stays loaded, and what it holds is in use.
            Trace("vkernel: driver " + Narrow(record->service) +
                  " still owns device objects after every devnode was removed; it stays loaded");
            kept.push_back(record->image.get());
            Abandon(driver);
            continue;
        }
        UnloadDriverObject(driver, true);
    }
    return kept;
}

}  // namespace sim::k

// ---- Host API ---------------------------------------------------------------------------------

namespace sim {

DriverManager::DriverManager(Impl* impl) : impl_(impl) {}

void DriverManager::installService(std::u16string_view service, ULONG start, ULONG type) {
    std::u16string key = std::u16string(k::kServices) + std::u16string(service);
    Registry& registry = *impl_->machine->registry;
    registry.createKeyPath(key);
    registry.setDword(key, u"Type", type);
    registry.setDword(key, u"Start", start);
    registry.setDword(key, u"ErrorControl", 1);
    registry.setString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + std::u16string(service) + u".sys",
                       REG_EXPAND_SZ);
}

NTSTATUS DriverManager::load(std::u16string_view service) {
    NTSTATUS status = STATUS_SUCCESS;
    k::RunOnPnpWorker([&] {
        DRIVER_OBJECT* driver = nullptr;
        status = k::LoadImage(service, false, &driver);
    });
    return status;
}

NTSTATUS DriverManager::unload(std::u16string_view service) {
    NTSTATUS status = STATUS_SUCCESS;
    k::RunOnPnpWorker([&] {
        DRIVER_OBJECT* driver = find(service);
        if (!driver) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
            return;
        }
        if (!driver->DriverUnload) {
            status = STATUS_INVALID_DEVICE_REQUEST;
            return;
        }
        k::UnloadDriverObject(driver, true);
    });
    return status;
}

NTSTATUS DriverManager::loadBuiltIn(std::u16string_view name, NTSTATUS (*entry)(_DRIVER_OBJECT*, UNICODE_STRING*)) {
    NTSTATUS status = STATUS_SUCCESS;
    k::RunOnPnpWorker([&] {
        const std::u16string key = k::Upcase(name);
        {
            std::lock_guard lock(impl_->mutex);
            if (impl_->loaded.count(key)) {
                status = STATUS_IMAGE_ALREADY_LOADED;
                return;
            }
        }
        DRIVER_OBJECT* driver = k::CreateDriverObject(name, nullptr, false);
        k::DriverRecord* record = k::RecordOf(driver);
        driver->DriverInit = entry;
        {
            std::lock_guard lock(impl_->mutex);
            impl_->loaded[key] = driver;
            ++impl_->entries[key];
        }
        UNICODE_STRING registryPath;
        registryPath.Buffer = reinterpret_cast<PWSTR>(record->registryPath.data());
        registryPath.Length = static_cast<USHORT>(record->registryPath.size() * 2);
        registryPath.MaximumLength = registryPath.Length + 2;
        status = entry(driver, &registryPath);
        if (!NT_SUCCESS(status)) {
            record->unloadCalled = true;
            k::UnloadDriverObject(driver, false);
            return;
        }
        k::FinishDeviceInitialization(driver);
    });
    return status;
}

bool DriverManager::isLoaded(std::u16string_view service) const { return find(service) != nullptr; }

_DRIVER_OBJECT* DriverManager::find(std::u16string_view service) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->loaded.find(k::Upcase(service));
    return it == impl_->loaded.end() ? nullptr : it->second;
}

std::vector<std::u16string> DriverManager::loaded() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::u16string> out;
    for (auto& [key, driver] : impl_->loaded) out.push_back(k::RecordOf(driver)->service);
    return out;
}

std::size_t DriverManager::entryCount(std::u16string_view service) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->entries.find(k::Upcase(service));
    return it == impl_->entries.end() ? 0 : it->second;
}

std::size_t DriverManager::unloadCount(std::u16string_view service) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->unloads.find(k::Upcase(service));
    return it == impl_->unloads.end() ? 0 : it->second;
}

void DriverManager::setUnloadWalkObserver(std::function<void(std::u16string_view service)> observer) {
    k::RunOnPnpWorker([&] { impl_->unloadWalkObserver = std::move(observer); });
}

}  // namespace sim
