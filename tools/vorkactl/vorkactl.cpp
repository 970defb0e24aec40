// vorkactl: the administrator's view of the Vorka virtual tape devices and changers.
//
//   vorkactl list [--json]                      every virtual device with its paths
//   vorkactl status \\.\TapeN                    drive and medium parameters, position, state
//   vorkactl rewind|load|unload|lock|unlock \\.\TapeN
//   vorkactl inquiry DEVICE                      INQUIRY and the unit serial number page
//
// Written against the Win32 API only (C++17), so the same source builds as vorkactl.exe and as a
// program module for the simulated machine.
//
// Exit codes: 0 done; 1 the drive refused the operation; 2 wrong command line; 3 the tape bus is
// not installed; 4 no such device; 5 access denied.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device_listing.h"

namespace {

enum ExitCode { kOk = 0, kFailed = 1, kUsage = 2, kNoBus = 3, kNoDevice = 4, kDenied = 5 };

// The control codes of the buses' control devices (device types 0x84CA tape, 0x84C9 changer).
constexpr DWORD kTapeQueryDevices = 0x84CAC01C;
constexpr DWORD kChangerQueryDevices = 0x84C9C01C;

std::string SystemText(DWORD error) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = length ? std::string(text, length) : "error " + std::to_string(error);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == ' ' || message.back() == '\r' || message.back() == '\n'))
        message.pop_back();
    return message + " (" + std::to_string(error) + ")";
}

int Usage() {
    std::fputs("usage: vorkactl list [--json]\n"
               "       vorkactl status \\\\.\\TapeN\n"
               "       vorkactl rewind|load|unload|lock|unlock \\\\.\\TapeN\n"
               "       vorkactl inquiry DEVICE\n",
               stderr);
    return kUsage;
}

// "Tape0" or "\\.\Tape0" -> "\\.\Tape0".
std::string DevicePath(const std::string& name) {
    if (name.rfind("\\\\.\\", 0) == 0) return name;
    return "\\\\.\\" + name;
}

// The exit code and message for a device that could not be opened.
int OpenFailure(const std::string& path, DWORD error) {
    std::fprintf(stderr, "vorkactl: %s: %s\n", path.c_str(), SystemText(error).c_str());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        std::fprintf(stderr, "vorkactl: %s is not there (see vorkactl list)\n", path.c_str());
        return kNoDevice;
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        std::fprintf(stderr, "vorkactl: access to %s is denied: another program holds the drive, or you are not an "
                             "administrator\n", path.c_str());
        return kDenied;
    }
    return kFailed;
}

// ---- list ------------------------------------------------------------------------------------

// The devices a bus reports. Returns ERROR_SUCCESS, or the error of the open or the request.
DWORD QueryBus(const char* link, DWORD code, std::vector<vorka::DeviceView>* devices) {
    devices->clear();
    HANDLE bus = CreateFileA(link, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) return GetLastError();
    // The first answer tells the size of the whole list; the second carries it.
    std::vector<unsigned char> answer(vorka::kQueryDevicesHeaderSize + vorka::kDeviceDescriptorSize);
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD returned = 0;
        if (!DeviceIoControl(bus, code, nullptr, 0, answer.data(), static_cast<DWORD>(answer.size()), &returned,
                             nullptr)) {
            error = GetLastError();
            // A bus without virtual devices answers "invalid parameter".
            if (error == ERROR_INVALID_PARAMETER) error = ERROR_SUCCESS;
            break;
        }
        const std::uint32_t required = vorka::QueryDevicesRequiredSize(answer.data(), returned);
        if (required > answer.size()) {
            answer.resize(required);  // the list grew between the two requests: ask again
            continue;
        }
        *devices = vorka::ParseQueryDevices(answer.data(), returned);
        break;
    }
    CloseHandle(bus);
    return error;
}

int List(bool json) {
    std::vector<vorka::DeviceView> tapes, changers;
    DWORD error = QueryBus("\\\\.\\VorkaTBusDvcLnk", kTapeQueryDevices, &tapes);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        std::fprintf(stderr, "vorkactl: the Vorka tape bus is not installed (\\\\.\\VorkaTBusDvcLnk: %s)\n",
                     SystemText(error).c_str());
        return kNoBus;
    }
    if (error == ERROR_ACCESS_DENIED) {
        std::fprintf(stderr, "vorkactl: access to the Vorka tape bus is denied: run as an administrator\n");
        return kDenied;
    }
    if (error != ERROR_SUCCESS) {
        std::fprintf(stderr, "vorkactl: the tape bus did not list its devices: %s\n", SystemText(error).c_str());
        return kFailed;
    }
    // A machine without the changer bus has no virtual changers.
    error = QueryBus("\\\\.\\VorkaCBusDvcLnk", kChangerQueryDevices, &changers);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        std::fprintf(stderr, "vorkactl: the changer bus did not list its devices: %s\n", SystemText(error).c_str());
        changers.clear();
    }
    if (json) {
        std::printf("{\"devices\": %s, \"changers\": %s}\n", vorka::DevicesJson(tapes).c_str(),
                    vorka::DevicesJson(changers).c_str());
    } else {
        std::fputs(vorka::FormatDevices(tapes, "").c_str(), stdout);
        std::fputs(vorka::FormatDevices(changers, "", "").c_str(), stdout);
    }
    return kOk;
}

// ---- tape operations -------------------------------------------------------------------------

HANDLE OpenDevice(const std::string& path, int* exitCode) {
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) *exitCode = OpenFailure(path, GetLastError());
    return device;
}

int Report(const std::string& path, const char* what, DWORD error) {
    if (error == NO_ERROR) {
        std::printf("%s: %s done\n", path.c_str(), what);
        return kOk;
    }
    std::fprintf(stderr, "vorkactl: %s: %s failed: %s\n", path.c_str(), what, SystemText(error).c_str());
    return error == ERROR_ACCESS_DENIED ? kDenied : kFailed;
}

int Operate(const std::string& verb, const std::string& path) {
    int exitCode = kOk;
    HANDLE device = OpenDevice(path, &exitCode);
    if (device == INVALID_HANDLE_VALUE) return exitCode;
    DWORD error = NO_ERROR;
    if (verb == "rewind") error = SetTapePosition(device, TAPE_REWIND, 0, 0, 0, FALSE);
    else if (verb == "load") error = PrepareTape(device, TAPE_LOAD, FALSE);
    else if (verb == "unload") error = PrepareTape(device, TAPE_UNLOAD, FALSE);
    else if (verb == "lock") error = PrepareTape(device, TAPE_LOCK, FALSE);
    else error = PrepareTape(device, TAPE_UNLOCK, FALSE);
    exitCode = Report(path, verb.c_str(), error);
    CloseHandle(device);
    return exitCode;
}

int Status(const std::string& path) {
    int exitCode = kOk;
    HANDLE device = OpenDevice(path, &exitCode);
    if (device == INVALID_HANDLE_VALUE) return exitCode;
    std::printf("%s\n", path.c_str());
    TAPE_GET_DRIVE_PARAMETERS drive;
    DWORD size = sizeof drive;
    std::memset(&drive, 0, sizeof drive);
    DWORD error = GetTapeParameters(device, GET_TAPE_DRIVE_INFORMATION, &size, &drive);
    if (error == NO_ERROR) {
        std::printf("  drive: block size default %lu, minimum %lu, maximum %lu; compression %s\n",
                    static_cast<unsigned long>(drive.DefaultBlockSize), static_cast<unsigned long>(drive.MinimumBlockSize),
                    static_cast<unsigned long>(drive.MaximumBlockSize), drive.Compression ? "on" : "off");
    } else {
        std::printf("  drive: %s\n", SystemText(error).c_str());
        exitCode = kFailed;
    }
    const DWORD status = GetTapeStatus(device);
    std::printf("  medium: %s\n", status == NO_ERROR ? "ready" : SystemText(status).c_str());
    TAPE_GET_MEDIA_PARAMETERS media;
    size = sizeof media;
    std::memset(&media, 0, sizeof media);
    error = GetTapeParameters(device, GET_TAPE_MEDIA_INFORMATION, &size, &media);
    if (error == NO_ERROR) {
        std::printf("  block size: %s", media.BlockSize ? "" : "variable");
        if (media.BlockSize) std::printf("%lu bytes", static_cast<unsigned long>(media.BlockSize));
        std::printf("; write protected: %s\n", media.WriteProtected ? "yes" : "no");
    } else if (status == NO_ERROR) {
        std::printf("  block size: %s\n", SystemText(error).c_str());
    }
    DWORD partition = 0, low = 0, high = 0;
    error = GetTapePosition(device, TAPE_ABSOLUTE_POSITION, &partition, &low, &high);
    if (error == NO_ERROR) {
        const unsigned long long block = (static_cast<unsigned long long>(high) << 32) | low;
        std::printf("  position: block %llu\n", block);
    } else {
        std::printf("  position: not known (%s)\n", SystemText(error).c_str());
    }
    CloseHandle(device);
    return exitCode;
}

// ---- inquiry ---------------------------------------------------------------------------------

// One INQUIRY through SCSI pass-through; `page` < 0: the standard data.
DWORD Inquiry(HANDLE device, int page, unsigned char* data, DWORD* length, unsigned char* scsiStatus) {
    struct Request {
        SCSI_PASS_THROUGH header;
        unsigned char sense[32];
        unsigned char data[252];
    } request;
    std::memset(&request, 0, sizeof request);
    request.header.Length = sizeof request.header;
    request.header.CdbLength = 6;
    request.header.SenseInfoLength = sizeof request.sense;
    request.header.DataIn = SCSI_IOCTL_DATA_IN;
    request.header.DataTransferLength = sizeof request.data;
    request.header.TimeOutValue = 30;
    request.header.SenseInfoOffset = offsetof(Request, sense);
    request.header.DataBufferOffset = offsetof(Request, data);
    request.header.Cdb[0] = 0x12;  // INQUIRY
    if (page >= 0) {
        request.header.Cdb[1] = 0x01;  // EVPD
        request.header.Cdb[2] = static_cast<UCHAR>(page);
    }
    request.header.Cdb[4] = sizeof request.data;
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request, &request, sizeof request,
                         &returned, nullptr))
        return GetLastError();
    *scsiStatus = request.header.ScsiStatus;
    *length = request.header.DataTransferLength;
    std::memcpy(data, request.data, *length > sizeof request.data ? sizeof request.data : *length);
    return NO_ERROR;
}

std::string Trimmed(const unsigned char* text, std::size_t length) {
    std::string out(reinterpret_cast<const char*>(text), length);
    while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
    return out;
}

int InquiryCommand(const std::string& path) {
    int exitCode = kOk;
    HANDLE device = OpenDevice(path, &exitCode);
    if (device == INVALID_HANDLE_VALUE) return exitCode;
    unsigned char data[252];
    DWORD length = 0;
    unsigned char scsiStatus = 0;
    DWORD error = Inquiry(device, -1, data, &length, &scsiStatus);
    if (error != NO_ERROR || scsiStatus != 0 || length < 36) {
        if (error == NO_ERROR)
            std::fprintf(stderr, "vorkactl: %s: INQUIRY ended with SCSI status 0x%02x, %lu bytes\n", path.c_str(),
                         scsiStatus, static_cast<unsigned long>(length));
        else
            std::fprintf(stderr, "vorkactl: %s: INQUIRY failed: %s\n", path.c_str(), SystemText(error).c_str());
        CloseHandle(device);
        return error == ERROR_ACCESS_DENIED ? kDenied : kFailed;
    }
    std::printf("%s\n  peripheral type 0x%02x\n  vendor   %s\n  product  %s\n  revision %s\n", path.c_str(),
                data[0] & 0x1F, Trimmed(data + 8, 8).c_str(), Trimmed(data + 16, 16).c_str(),
                Trimmed(data + 32, 4).c_str());
    error = Inquiry(device, 0x80, data, &length, &scsiStatus);
    if (error == NO_ERROR && scsiStatus == 0 && length >= 4 && data[1] == 0x80) {
        std::size_t serialLength = data[3];
        if (serialLength > length - 4) serialLength = length - 4;
        std::printf("  serial   %s\n", Trimmed(data + 4, serialLength).c_str());
    } else {
        std::printf("  serial   (no unit serial number page)\n");
    }
    CloseHandle(device);
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string verb = argv[1];
    if (verb == "list") {
        if (argc == 2) return List(false);
        if (argc == 3 && std::string(argv[2]) == "--json") return List(true);
        return Usage();
    }
    if (argc != 3) return Usage();
    const std::string path = DevicePath(argv[2]);
    if (verb == "status") return Status(path);
    if (verb == "rewind" || verb == "load" || verb == "unload" || verb == "lock" || verb == "unlock")
        return Operate(verb, path);
    if (verb == "inquiry") return InquiryCommand(path);
    return Usage();
}
