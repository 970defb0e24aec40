// Data steps: the requests a backup application sends on an open \\.\TapeN handle
// (ReadFile, WriteFile and DeviceIoControl with the tape control codes, and SCSI
// pass-through), each block written stamped with its origin so that the drive's
// ground truth can be checked; "parallel" runs steps at the same time, and
// "verify" checks every drive's medium against what the application was told.
#include <algorithm>
#include <cstring>
#include <exception>
#include <chrono>
#include <set>
#include <thread>

#include <sim/process.h>
#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include <ntddscsi.h>
#include <ntddtape.h>

#include "app_io.h"
#include "runner.h"
#include "scenario.h"
#include "text.h"

namespace vorkasim {
namespace {

constexpr std::uint64_t kMaxRequestBytes = 16u << 20;
constexpr std::uint64_t kMaxRequests = 1'000'000;

std::string OpOf(const nlohmann::json& step)
{
    return step.at("op").get<std::string>();
}

// An unsigned number a step must have (or may have, with a fallback), up to `maximum`.
std::uint64_t Number(const nlohmann::json& step, const char* name, std::uint64_t maximum,
                     std::optional<std::uint64_t> fallback = std::nullopt)
{
    if (!step.contains(name)) {
        if (fallback) {
            return *fallback;
        }
        throw ScenarioError("step \"" + OpOf(step) + "\" needs a number \"" + name + "\"");
    }
    const auto& value = step.at(name);
    if (!value.is_number_integer() || value.get<std::int64_t>() < 0 || value.get<std::uint64_t>() > maximum) {
        throw ScenarioError("step \"" + OpOf(step) + "\": \"" + name + "\" must be a number from 0 to " +
                            std::to_string(maximum));
    }
    return value.get<std::uint64_t>();
}

std::vector<std::uint8_t> FromHex(const nlohmann::json& step, const char* name)
{
    if (!step.at(name).is_string()) {
        throw ScenarioError("step \"" + OpOf(step) + "\": \"" + name + "\" must be a string of hexadecimal bytes");
    }
    std::string text;
    for (char c : step.at(name).get<std::string>()) {
        if (c != ' ') {
            text += c;
        }
    }
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw ScenarioError("step \"" + OpOf(step) + "\": \"" + name + "\" must be a string of hexadecimal bytes");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// TAPE_GET_POSITION with the absolute position: the logical object number.
NTSTATUS QueryPosition(sim::Process& process, void* handle, std::uint64_t* position)
{
    TAPE_GET_POSITION get{};
    get.Type = TAPE_ABSOLUTE_POSITION;
    ULONG_PTR information = 0;
    const NTSTATUS status =
        Control(process, handle, IOCTL_TAPE_GET_POSITION, &get, sizeof get, &get, sizeof get, &information);
    *position = static_cast<std::uint64_t>(get.Offset.QuadPart);
    return status;
}

// IOCTL_TAPE_GET_MEDIA_PARAMS: the block size the drive uses now (0: variable).
NTSTATUS QueryBlockSize(sim::Process& process, void* handle, std::uint32_t* blockSize)
{
    TAPE_GET_MEDIA_PARAMETERS media{};
    ULONG_PTR information = 0;
    const NTSTATUS status =
        Control(process, handle, IOCTL_TAPE_GET_MEDIA_PARAMS, &media, sizeof media, &media, sizeof media, &information);
    *blockSize = media.BlockSize;
    return status;
}

// Where objects just written went: where the application knew the tape to be, or, when it could
// not learn that (its position query failed), where the drive was, as the objects went there.
// When the drive lost them from its buffer (a deferred write error sends the position back to where
// the writing failed), the drive's record of the loss tells where the first of them went: the
// loss may begin with any of them (the drive wrote those before it to the medium), and the first
// lies as many places before it as it is blocks of the request before the lost one.
std::optional<std::uint64_t> WhereWritten(const sim::hw::TapeDrive* drive, std::optional<std::uint64_t> known,
                                          std::uint64_t written, std::optional<Stamp> first = std::nullopt)
{
    if (known || drive == nullptr || written == 0) {
        return known;
    }
    for (const auto& loss : first ? drive->bufferLosses() : std::vector<sim::hw::BufferLoss>{}) {
        for (std::size_t i = 0; i < loss.records.size(); ++i) {
            const auto stamp = ReadStamp(loss.records[i].data);
            if (!stamp || stamp->step != first->step || stamp->block < first->block ||
                stamp->block - first->block >= written) {
                continue;
            }
            const std::uint64_t before = stamp->block - first->block;
            if (loss.object + i >= before) {
                return loss.object + i - before;
            }
        }
    }
    const auto now = drive->position();
    if (!now || now->object < written) {
        return known;
    }
    return now->object - written;
}

// Where a request the application sends without knowing its position starts: where the drive
// stands as it is sent (nullopt when the drive cannot tell, its tape moved and stopped midway).
// A request that fails tells nothing of where it went, yet part of it may be on the tape there.
std::optional<std::uint64_t> WhereSent(const sim::hw::TapeDrive* drive, std::optional<std::uint64_t> known)
{
    if (known || drive == nullptr) {
        return known;
    }
    const auto now = drive->position();
    if (!now || !now->known) {
        return std::nullopt;
    }
    return now->object;
}

// Blocks read that are not, byte for byte and stamped, the records the drive holds from `at` on:
// `blocks` of `length` bytes each. A variable record longer than the request comes back cut short
// (`cut`): then it is the record's start.
std::uint64_t Misread(const std::vector<sim::hw::Record>& truth, std::optional<std::uint64_t> at,
                      const std::uint8_t* data, std::uint64_t blocks, std::size_t length, bool cut)
{
    std::uint64_t wrong = 0;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block = data + b * length;
        const bool known = at && *at + b < truth.size();
        const bool same = known && !truth[*at + b].isFilemark() &&
                          (truth[*at + b].data.size() == length || (cut && truth[*at + b].data.size() > length)) &&
                          std::memcmp(truth[*at + b].data.data(), block, length) == 0;
        if (!same || !ReadStamp({block, length}).has_value()) {
            ++wrong;
        }
    }
    return wrong;
}

nlohmann::json StepToJson(const StepResult& result)
{
    nlohmann::json entry = result.step;
    entry["status"] = StatusText(result.status);
    entry.update(result.data);
    if (!result.detail.empty()) {
        entry["detail"] = result.detail;
    }
    return entry;
}

}  // namespace

bool IsDataStep(const std::string& op)
{
    static const std::set<std::string> steps = {"write",   "read",        "writefm", "rewind",
                                                "space",   "locate",      "getpos",  "setblocksize",
                                                "lock",    "unlock",      "passthrough", "eject",
                                                "load",    "getstatus"};
    return steps.count(op) != 0 || IsSettingStep(op);
}

StepResult Runner::data(const std::string& op, const nlohmann::json& step, std::uint32_t number)
{
    StepResult result{step};
    const std::string name = RequiredString(step, "handle");
    AppHandle* app = nullptr;
    std::uint32_t handleBlockSize = 0;
    bool handleBlockSizeKnown = true;
    bool handleBlockSizeReadBack = false;
    std::uint64_t registeredKey = 0;
    {
        std::lock_guard lock(handlesMutex_);
        auto it = handles_.find(name);
        if (it == handles_.end()) {
            result.status = static_cast<std::uint32_t>(STATUS_INVALID_HANDLE);
            result.detail = "no open handle " + name;
            return result;
        }
        app = &it->second;
        if (app->serial.empty() || app->serial == app->device) {
            // Looked up again while not found: the virtual device may be away for a moment (its
            // last path gone and back), and the handle's requests still reach its drive.
            app->serial = virtualSerial(app->device);
            if (app->serial.empty()) {
                app->serial = app->device;  // not a virtual tape device: its own ledger
            }
        }
        const BlockSizeView& view = blockSizes_[app->device];
        handleBlockSize = view.size;
        handleBlockSizeKnown = view.known;
        handleBlockSizeReadBack = view.readBack;
        registeredKey = app->prKey;
    }
    sim::Process& process = *app->process;
    void* handle = app->handle;
    const std::string serial = app->serial;
    sim::hw::TapeDrive* drive = world_.san().findDrive(serial);
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;

    // Each request's outcome, for what the drive lost before it began (see Ledger::failed).
    auto lossCount = [&] { return drive != nullptr ? drive->bufferLossCount() : std::size_t{0}; };
    const std::size_t lossesAtStep = lossCount();
    auto ended = [&](NTSTATUS outcome, std::size_t lossesBefore) {
        if (NT_SUCCESS(outcome)) {
            ledger_.succeeded(serial, drive, lossesBefore);
        } else {
            ledger_.failed(serial, drive, lossesBefore);
        }
    };
    // The application learns where it is when it does not know (after SPACE or a failure).
    auto startPosition = [&]() -> std::optional<std::uint64_t> {
        if (auto known = ledger_.position(serial)) {
            return known;
        }
        std::uint64_t position = 0;
        const std::size_t lossesBefore = lossCount();
        const NTSTATUS queried = QueryPosition(process, handle, &position);
        ended(queried, lossesBefore);
        if (!NT_SUCCESS(queried)) {
            return std::nullopt;
        }
        ledger_.setPosition(serial, position);
        return position;
    };
    auto finish = [&](NTSTATUS final) {
        result.status = static_cast<std::uint32_t>(final);
        result.data["information"] = information;
        if (!NT_SUCCESS(final)) {
            // Told that something went wrong, the application asks where the tape is before it
            // goes on (a reset may have rewound it).
            ledger_.setPosition(serial, std::nullopt);
        }
        ended(final, lossesAtStep);
        return result;
    };

    if (op == "write" || op == "read") {
        const std::uint64_t requests = Number(step, "requests", kMaxRequests);
        const std::uint64_t bytes = Number(step, "bytes", kMaxRequestBytes);
        if (!handleBlockSizeKnown) {
            // Its last block-size change failed and it could not read the size back then.
            status = QueryBlockSize(process, handle, &handleBlockSize);
            if (!NT_SUCCESS(status)) {
                result.detail = op + " not sent: the block size is not known";
                return finish(status);
            }
            handleBlockSizeKnown = true;
            handleBlockSizeReadBack = true;
            std::lock_guard lock(handlesMutex_);
            blockSizes_[app->device] = BlockSizeView{handleBlockSize, true, true};
        }
        const std::uint32_t blockSize = handleBlockSize;
        if (bytes == 0 || (blockSize != 0 && bytes % blockSize != 0)) {
            if (handleBlockSizeReadBack && bytes != 0) {
                // The scenario chose the byte count for the size it set; the drive kept another.
                // The tape driver refuses fixed-block transfers of partial blocks.
                result.detail = op + " not sent: " + std::to_string(bytes) + " bytes are not whole blocks of " +
                                std::to_string(blockSize);
                return finish(STATUS_INVALID_PARAMETER);
            }
            throw ScenarioError("step \"" + op + "\": \"bytes\" must be a positive multiple of the block size " +
                                std::to_string(blockSize));
        }
        const std::uint32_t blockLength = blockSize != 0 ? blockSize : static_cast<std::uint32_t>(bytes);
        if (op == "write" && blockLength < kStampBytes) {
            throw ScenarioError("step \"write\": blocks of " + std::to_string(blockLength) +
                                " bytes cannot carry a stamp (at least " + std::to_string(kStampBytes) + ")");
        }
        const std::uint64_t perRequest = bytes / blockLength;
        std::optional<std::uint64_t> position = startPosition();
        std::vector<sim::hw::Record> truth;
        // Where the blocks read are judged: where the application knows the tape to be, or, when
        // it could not learn that, where the drive stands, as the blocks come from there.
        std::optional<std::uint64_t> readAt = position;
        if (op == "read" && drive != nullptr) {
            truth = drive->logicalRecords();
            if (!readAt) {
                if (const auto now = drive->position()) {
                    readAt = now->object;
                }
            }
        }
        sim::ProcessScope scope(process);
        auto* buffer = static_cast<std::uint8_t*>(process.alloc(bytes));
        bool stampsOk = true;
        std::uint64_t blocks = 0;
        for (std::uint64_t r = 0; r < requests; ++r) {
            ULONG_PTR done = 0;
            if (op == "write") {
                for (std::uint64_t b = 0; b < perRequest; ++b) {
                    StampBlock({buffer + b * blockLength, blockLength},
                               Stamp{number, static_cast<std::uint32_t>(r * perRequest + b)});
                }
                const std::optional<std::uint64_t> sentAt = WhereSent(drive, position);
                const std::size_t lossesBefore = lossCount();
                status = process.write(handle, buffer, static_cast<ULONG>(bytes), &done);
                if (status == STATUS_SUCCESS && done < bytes) {
                    ledger_.shortWrite(serial);  // success on a tape means every byte is written
                }
                // What the application was told it wrote: whole blocks of the byte count.
                const std::uint64_t written = blockSize != 0 ? done / blockSize : (done != 0 ? 1 : 0);
                std::vector<std::pair<Stamp, std::uint32_t>> stamps;
                for (std::uint64_t b = 0; b < written; ++b) {
                    stamps.push_back({Stamp{number, static_cast<std::uint32_t>(r * perRequest + b)},
                                      blockSize != 0 ? blockSize : static_cast<std::uint32_t>(done)});
                }
                std::optional<std::uint64_t> writtenAt =
                    WhereWritten(drive, position, written, Stamp{number, static_cast<std::uint32_t>(r * perRequest)});
                const bool failed = status != STATUS_SUCCESS || written < perRequest;
                if (!writtenAt && written == 0 && failed) {
                    // Nothing acknowledged: the failure, and whatever of the request reached the
                    // tape, is where the request went.
                    writtenAt = sentAt;
                }
                ledger_.setPosition(serial, writtenAt);
                ledger_.wrote(serial, stamps);
                if (failed) {
                    // The rest of a failed request may be on the tape all the same.
                    std::vector<Stamp> unconfirmed;
                    for (std::uint64_t b = written; b < perRequest; ++b) {
                        unconfirmed.push_back(Stamp{number, static_cast<std::uint32_t>(r * perRequest + b)});
                    }
                    ledger_.failedWrite(serial, unconfirmed);
                }
                ended(status, lossesBefore);
                blocks += written;
                if (position) {
                    *position += written;
                }
            } else {
                const std::size_t lossesBefore = lossCount();
                status = process.read(handle, buffer, static_cast<ULONG>(bytes), &done);
                ended(status == STATUS_FILEMARK_DETECTED || status == STATUS_NO_DATA_DETECTED ? STATUS_SUCCESS : status,
                      lossesBefore);
                const std::uint64_t got = blockSize != 0 ? done / blockSize : (done != 0 ? 1 : 0);
                const std::uint64_t wrong =
                    Misread(truth, readAt, buffer, got, blockSize != 0 ? blockSize : done,
                            blockSize == 0 && status == STATUS_BUFFER_OVERFLOW);
                if (wrong != 0) {
                    stampsOk = false;
                    ledger_.misread(serial, wrong);
                }
                blocks += got;
                if (position) {
                    *position += got + (status == STATUS_FILEMARK_DETECTED ? 1 : 0);
                }
                if (readAt) {
                    *readAt += got + (status == STATUS_FILEMARK_DETECTED ? 1 : 0);
                }
            }
            information += done;
            if (status != STATUS_SUCCESS) {
                break;
            }
        }
        process.free(buffer);
        // After a failure the application no longer knows where the tape is, except at a
        // filemark or end of data, which the drive reports after the last block.
        const bool stillKnown = NT_SUCCESS(status) || status == STATUS_FILEMARK_DETECTED ||
                                status == STATUS_NO_DATA_DETECTED;
        ledger_.setPosition(serial, stillKnown ? position : std::nullopt);
        result.data["blocks"] = blocks;
        if (op == "read") {
            result.data["stampsOk"] = stampsOk;
        }
        result.detail = op + " " + std::to_string(blocks) + " blocks, " + std::to_string(information) + " bytes";
        if (op == "read" && (status == STATUS_FILEMARK_DETECTED || status == STATUS_NO_DATA_DETECTED)) {
            // Reaching a filemark or the end of the data is how a reader finds the end of a file.
            result.status = static_cast<std::uint32_t>(status);
            result.data["information"] = information;
            return result;
        }
        return finish(status);
    }
    if (op == "writefm") {
        const std::uint64_t count = Number(step, "count", 0xFFFFFFFF);
        const std::optional<std::uint64_t> position = startPosition();
        const std::optional<std::uint64_t> sentAt = WhereSent(drive, position);
        TAPE_WRITE_MARKS marks{};
        marks.Type = TAPE_FILEMARKS;
        marks.Count = static_cast<DWORD>(count);
        // "immediate": true returns once the marks are in the drive's buffer, without the flush.
        if (step.contains("immediate") && !step.at("immediate").is_boolean()) {
            throw ScenarioError("step \"writefm\": \"immediate\" must be true or false");
        }
        marks.Immediate = step.value("immediate", false) ? TRUE : FALSE;
        status = Control(process, handle, IOCTL_TAPE_WRITE_MARKS, &marks, sizeof marks, nullptr, 0, &information);
        if (NT_SUCCESS(status)) {
            ledger_.setPosition(serial, WhereWritten(drive, position, count));
            ledger_.wroteFilemarks(serial, static_cast<std::uint32_t>(count));
            information = count;
        } else {
            // Some of the marks may be on the tape all the same, where the request went, also
            // when the application could not learn where that was.
            ledger_.setPosition(serial, sentAt);
            ledger_.failedFilemarks(serial, static_cast<std::uint32_t>(count));
            ledger_.setPosition(serial, std::nullopt);
        }
        result.detail = std::to_string(count) + " filemarks";
        return finish(status);
    }
    if (op == "rewind" || op == "locate" || op == "space") {
        TAPE_SET_POSITION set{};
        std::optional<std::uint64_t> after;
        if (op == "rewind") {
            set.Method = TAPE_REWIND;
            after = 0;
        } else if (op == "locate") {
            set.Method = TAPE_ABSOLUTE_BLOCK;
            set.Offset.QuadPart = static_cast<LONGLONG>(Number(step, "block", 0x7FFFFFFFFFFFFFFFull));
            after = static_cast<std::uint64_t>(set.Offset.QuadPart);
        } else {
            const std::string kind = RequiredString(step, "kind");
            if (kind == "blocks") {
                set.Method = TAPE_SPACE_RELATIVE_BLOCKS;
            } else if (kind == "filemarks") {
                set.Method = TAPE_SPACE_FILEMARKS;
            } else if (kind == "eod") {
                set.Method = TAPE_SPACE_END_OF_DATA;
            } else {
                throw ScenarioError("step \"space\": \"kind\" is \"blocks\", \"filemarks\" or \"eod\"");
            }
            if (kind != "eod") {
                if (!step.contains("count") || !step.at("count").is_number_integer()) {
                    throw ScenarioError("step \"space\" needs a number \"count\" (negative: backwards)");
                }
                set.Offset.QuadPart = step.at("count").get<LONGLONG>();
            }
        }
        status = Control(process, handle, IOCTL_TAPE_SET_POSITION, &set, sizeof set, nullptr, 0, &information);
        // After spacing the application asks where it is when it next needs to know.
        ledger_.setPosition(serial, NT_SUCCESS(status) ? after : std::nullopt);
        result.detail = op;
        return finish(status);
    }
    if (op == "getstatus") {
        // GetTapeStatus: the drive is asked whether it is ready (TEST UNIT READY). With "untilReady"
        // the application asks again every millisecond while the drive is becoming ready, for at
        // most that many milliseconds, as a backup program waits for a cartridge a library loads.
        std::uint32_t untilReadyMs = 0;
        if (step.contains("untilReady")) {
            if (!step.at("untilReady").is_number_integer() || step.at("untilReady").get<std::int64_t>() < 0 ||
                step.at("untilReady").get<std::int64_t>() > 600'000) {
                throw ScenarioError("step \"getstatus\": \"untilReady\" must be a number of milliseconds up to 600000");
            }
            untilReadyMs = step.at("untilReady").get<std::uint32_t>();
        }
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(untilReadyMs);
        for (;;) {
            status = Control(process, handle, IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0, &information);
            if (status != STATUS_DEVICE_NOT_READY || std::chrono::steady_clock::now() >= giveUp) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        result.detail = NT_SUCCESS(status) ? "ready" : "not ready";
        return finish(status);
    }
    if (op == "getpos") {
        std::uint64_t position = 0;
        status = QueryPosition(process, handle, &position);
        if (NT_SUCCESS(status)) {
            result.data["position"] = position;
            ledger_.setPosition(serial, position);
            result.detail = "at block " + std::to_string(position);
        }
        return finish(status);
    }
    if (op == "setblocksize") {
        TAPE_SET_MEDIA_PARAMETERS parameters{};
        parameters.BlockSize = static_cast<DWORD>(Number(step, "size", 0x00FFFFFF));
        status = Control(process, handle, IOCTL_TAPE_SET_MEDIA_PARAMS, &parameters, sizeof parameters, nullptr, 0,
                         &information);
        if (NT_SUCCESS(status)) {
            std::lock_guard lock(handlesMutex_);
            blockSizes_[app->device] = BlockSizeView{parameters.BlockSize, true, false};
        } else {
            // The change may have reached the drive or not (a path failed on the way): the
            // application asks which size is in effect rather than assume either.
            std::uint32_t inEffect = 0;
            const bool learned = NT_SUCCESS(QueryBlockSize(process, handle, &inEffect));
            std::lock_guard lock(handlesMutex_);
            BlockSizeView& view = blockSizes_[app->device];
            view.known = learned;
            view.readBack = true;
            if (learned) {
                view.size = inEffect;
            }
        }
        result.detail = parameters.BlockSize == 0 ? "variable blocks" : std::to_string(parameters.BlockSize) + "-byte blocks";
        return finish(status);
    }
    if (op == "lock" || op == "unlock") {
        TAPE_PREPARE prepare{};
        prepare.Operation = op == "lock" ? TAPE_LOCK : TAPE_UNLOCK;
        status = Control(process, handle, IOCTL_TAPE_PREPARE, &prepare, sizeof prepare, nullptr, 0, &information);
        result.detail = op == "lock" ? "medium removal prevented" : "medium removal allowed";
        return finish(status);
    }
    if (op == "eject" || op == "load") {
        // PrepareTape(TAPE_UNLOAD): the drive unloads its cartridge, so that a changer can take it;
        // PrepareTape(TAPE_LOAD) loads the one in the drive. With "immediate" the drive returns at once.
        TAPE_PREPARE prepare{};
        prepare.Operation = op == "eject" ? TAPE_UNLOAD : TAPE_LOAD;
        if (step.contains("immediate")) {
            if (!step.at("immediate").is_boolean()) {
                throw ScenarioError("step \"" + op + "\": \"immediate\" must be true or false");
            }
            prepare.Immediate = step.at("immediate").get<bool>() ? TRUE : FALSE;
        }
        status = Control(process, handle, IOCTL_TAPE_PREPARE, &prepare, sizeof prepare, nullptr, 0, &information);
        ledger_.setPosition(serial, op == "eject" || !NT_SUCCESS(status) ? std::nullopt : std::optional<std::uint64_t>(0));
        result.detail = op == "eject" ? "cartridge unloaded" : "cartridge loaded";
        return finish(status);
    }
    if (IsSettingStep(op)) {
        status = RunSettingStep(op, step, process, handle, &registeredKey, &information, result);
        std::lock_guard lock(handlesMutex_);
        app->prKey = registeredKey;
        return finish(status);
    }
    // "passthrough": one SCSI command with the sense and data buffers after the request.
    const std::vector<std::uint8_t> cdb = FromHex(step, "cdb");
    if (cdb.size() < 6 || cdb.size() > 16) {
        throw ScenarioError("step \"passthrough\": \"cdb\" must have 6 to 16 bytes");
    }
    if (step.contains("dataOut") && step.contains("dataIn")) {
        throw ScenarioError("step \"passthrough\" takes \"dataOut\" or \"dataIn\", not both");
    }
    constexpr ULONG kSenseLength = 32;
    std::vector<std::uint8_t> out = step.contains("dataOut") ? FromHex(step, "dataOut") : std::vector<std::uint8_t>{};
    // "stamp": true fills a WRITE(6)'s data with stamped blocks, so that the check judges where
    // they land like those of a "write" step.
    // On a READ(6) it holds the blocks that come back to the records the drive holds there.
    std::vector<std::pair<Stamp, std::uint32_t>> stamps;
    std::optional<std::uint64_t> sentAt;
    const bool stamped = step.value("stamp", false);
    if (stamped && !((cdb[0] == 0x0A && !step.contains("dataOut") && !step.contains("dataIn")) ||
                     (cdb[0] == 0x08 && step.contains("dataIn")))) {
        throw ScenarioError("step \"passthrough\": \"stamp\" makes the data of a WRITE(6) (\"cdb\" 0a..., "
                            "without \"dataOut\" or \"dataIn\") or checks that of a READ(6) (\"cdb\" 08..., "
                            "with \"dataIn\")");
    }
    if (stamped && !handleBlockSizeKnown) {
        status = QueryBlockSize(process, handle, &handleBlockSize);
        if (!NT_SUCCESS(status)) {
            result.detail = "passthrough not sent: the block size is not known";
            return finish(status);
        }
        std::lock_guard lock(handlesMutex_);
        blockSizes_[app->device] = BlockSizeView{handleBlockSize, true, true};
    }
    std::vector<sim::hw::Record> truth;
    std::optional<std::uint64_t> readAt;
    if (stamped && cdb[0] == 0x08) {
        readAt = startPosition();
        if (drive != nullptr) {
            truth = drive->logicalRecords();
            if (const auto now = drive->position(); now && !readAt) {
                readAt = now->object;
            }
        }
    }
    // WRITE FILEMARKS(6): the marks are judged like those of a "writefm" step.
    const std::uint32_t marks = cdb[0] == 0x10 ? std::uint32_t{cdb[2]} << 16 | std::uint32_t{cdb[3]} << 8 | cdb[4] : 0;
    if (marks != 0) {
        sentAt = WhereSent(drive, startPosition());
    }
    if (stamped && cdb[0] == 0x0A) {
        const bool fixed = (cdb[1] & 0x01) != 0;
        const std::uint32_t count = std::uint32_t{cdb[2]} << 16 | std::uint32_t{cdb[3]} << 8 | cdb[4];
        const std::uint32_t blockLength = fixed ? handleBlockSize : count;
        const std::uint64_t blocks = fixed ? count : 1;
        if (blockLength < kStampBytes || blocks * blockLength > kMaxRequestBytes) {
            throw ScenarioError("step \"passthrough\": a stamped WRITE(6) needs blocks of " +
                                std::to_string(kStampBytes) + " bytes or more, " +
                                std::to_string(kMaxRequestBytes) + " bytes in all at most" +
                                (fixed && handleBlockSize == 0 ? " (fixed blocks need a block size set)" : ""));
        }
        out.resize(blocks * blockLength);
        for (std::uint32_t b = 0; b < blocks; ++b) {
            StampBlock({out.data() + std::size_t{b} * blockLength, blockLength}, Stamp{number, b});
            stamps.push_back({Stamp{number, b}, blockLength});
        }
        sentAt = WhereSent(drive, startPosition());
    }
    const std::uint64_t in = step.contains("dataIn") ? Number(step, "dataIn", kMaxRequestBytes) : 0;
    if (out.size() > kMaxRequestBytes) {
        throw ScenarioError("step \"passthrough\": \"dataOut\" is too long");
    }
    const ULONG dataLength = static_cast<ULONG>(out.empty() ? in : out.size());
    const ULONG total = sizeof(SCSI_PASS_THROUGH) + kSenseLength + dataLength;
    std::vector<std::uint8_t> request(total);
    auto* spt = reinterpret_cast<SCSI_PASS_THROUGH*>(request.data());
    spt->Length = sizeof(SCSI_PASS_THROUGH);
    spt->CdbLength = static_cast<UCHAR>(cdb.size());
    spt->SenseInfoLength = kSenseLength;
    spt->DataIn = !out.empty() ? SCSI_IOCTL_DATA_OUT : (in != 0 ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_UNSPECIFIED);
    spt->DataTransferLength = dataLength;
    spt->TimeOutValue = 60;
    spt->SenseInfoOffset = sizeof(SCSI_PASS_THROUGH);
    spt->DataBufferOffset = sizeof(SCSI_PASS_THROUGH) + kSenseLength;
    std::memcpy(spt->Cdb, cdb.data(), cdb.size());
    if (!out.empty()) {
        std::memcpy(request.data() + spt->DataBufferOffset, out.data(), out.size());
    }
    std::vector<std::uint8_t> reply(total);
    status = Control(process, handle, IOCTL_SCSI_PASS_THROUGH, request.data(), total, reply.data(), total,
                     &information);
    const auto* answer = reinterpret_cast<const SCSI_PASS_THROUGH*>(reply.data());
    if (NT_SUCCESS(status)) {
        result.data["scsiStatus"] = answer->ScsiStatus;
        result.data["sense"] = ToHex(reply.data() + sizeof(SCSI_PASS_THROUGH),
                                     std::min<ULONG>(answer->SenseInfoLength, kSenseLength));
        if (spt->DataIn == SCSI_IOCTL_DATA_IN) {
            result.data["dataIn"] = ToHex(reply.data() + sizeof(SCSI_PASS_THROUGH) + kSenseLength,
                                          std::min<ULONG>(answer->DataTransferLength, dataLength));
        }
    }
    if (stamped && cdb[0] == 0x08 && NT_SUCCESS(status)) {
        // What came back: whole blocks of the handle's size, or the one variable record (cut short
        // when the record is longer than asked for, which the drive reports as incorrect length).
        const bool fixed = (cdb[1] & 0x01) != 0;
        const ULONG moved = std::min<ULONG>(answer->DataTransferLength, dataLength);
        const std::size_t length = fixed ? handleBlockSize : moved;
        const std::uint64_t got = length == 0 ? 0 : moved / length;
        const std::uint8_t* data = reply.data() + sizeof(SCSI_PASS_THROUGH) + kSenseLength;
        const std::uint64_t wrong = Misread(truth, readAt, data, got, length, !fixed && moved == dataLength);
        if (wrong != 0) {
            ledger_.misread(serial, wrong);
        }
        result.data["stampsOk"] = wrong == 0;
        result.data["blocks"] = got;
    }
    const bool good = NT_SUCCESS(status) && answer->ScsiStatus == 0;
    if (cdb[0] == 0x15 && out.size() >= 12 && out[3] >= 8) {
        // The application set the block size itself with a block descriptor: it knows it now, or,
        // when the command failed, reads back the size in effect.
        std::uint32_t inEffect = std::uint32_t{out[9]} << 16 | std::uint32_t{out[10]} << 8 | out[11];
        const bool learned = good || NT_SUCCESS(QueryBlockSize(process, handle, &inEffect));
        std::lock_guard lock(handlesMutex_);
        blockSizes_[app->device] = BlockSizeView{inEffect, learned, !good};
    }
    if (marks != 0) {
        if (good) {
            ledger_.setPosition(serial, WhereWritten(drive, sentAt, marks));
            ledger_.wroteFilemarks(serial, marks);
        } else {
            ledger_.setPosition(serial, sentAt);
            ledger_.failedFilemarks(serial, marks);
        }
    }
    if (!stamps.empty()) {
        if (good) {
            ledger_.setPosition(serial, WhereWritten(drive, sentAt, stamps.size(), stamps.front().first));
            ledger_.wrote(serial, stamps);
        } else {
            // CHECK CONDITION says nothing of how many blocks the drive wrote: each may be there.
            std::vector<Stamp> unconfirmed;
            for (const auto& [stamp, length] : stamps) {
                unconfirmed.push_back(stamp);
            }
            ledger_.setPosition(serial, sentAt);
            ledger_.failedWrite(serial, unconfirmed);
        }
    }
    // A command of the application's own making may move the tape: it asks where it is next time.
    ledger_.setPosition(serial, std::nullopt);
    result.detail = "CDB " + ToHex(cdb.data(), cdb.size());
    if (NT_SUCCESS(status) && answer->ScsiStatus != 0) {
        ledger_.failed(serial, drive, lossesAtStep);
    }
    return finish(status);
}

StepResult Runner::parallel(const nlohmann::json& step)
{
    StepResult result{step};
    if (!step.contains("steps") || !step.at("steps").is_array()) {
        throw ScenarioError("step \"parallel\" needs an array \"steps\"");
    }
    const auto& steps = step.at("steps");
    static const std::set<std::string> notInParallel = {"open", "close", "reboot", "parallel"};
    for (const auto& each : steps) {
        if (!each.is_object() || !each.contains("op") || !each.at("op").is_string()) {
            throw ScenarioError("step \"parallel\": every step must be an object with a string \"op\"");
        }
        if (notInParallel.count(OpOf(each)) != 0) {
            throw ScenarioError("step \"parallel\": \"" + OpOf(each) + "\" cannot run beside other steps");
        }
    }
    // Numbered before they start, in the order given, so that stamps do not depend on timing.
    std::vector<std::uint32_t> numbers;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        numbers.push_back(++stepNumber_);
    }
    std::vector<StepResult> results(steps.size());
    std::vector<std::exception_ptr> errors(steps.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            threads.emplace_back([&, i] {
                try {
                    results[i] = run(steps[i], numbers[i]);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
            });
        }
    }
    for (const auto& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& each : results) {
        if (result.status == 0 && !NT_SUCCESS(static_cast<NTSTATUS>(each.status))) {
            result.status = each.status;  // the first failure among them
        }
        entries.push_back(StepToJson(each));
    }
    result.data["results"] = entries;
    result.detail = std::to_string(steps.size()) + " steps at once";
    return result;
}

nlohmann::json Runner::media() const
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& spec : scenario_.drives) {
        if (const sim::hw::TapeDrive* drive = world_.san().findDrive(spec.serial)) {
            out.push_back({{"serial", spec.serial}, {"records", MediumToJson(*drive)}});
        }
    }
    return out;
}

nlohmann::json Runner::verifyAll() const
{
    VerifyCounts total;
    nlohmann::json drives = nlohmann::json::array();
    for (const auto& spec : scenario_.drives) {
        const sim::hw::TapeDrive* drive = world_.san().findDrive(spec.serial);
        if (drive == nullptr) {
            continue;
        }
        bool writtenByProgram = false;
        {
            std::lock_guard lock(programWrittenMutex_);
            writtenByProgram = programWrittenDrives_.count(spec.serial) != 0;
        }
        if (writtenByProgram) {
            // A program wrote there: what it was told is its own business, not the ledger's.
            drives.push_back({{"serial", spec.serial}, {"writtenByProgram", true}});
            continue;
        }
        const VerifyCounts counts = ledger_.verify(spec.serial, *drive);
        nlohmann::json entry = counts.toJson();
        entry["serial"] = spec.serial;
        drives.push_back(entry);
        total.add(counts);
    }
    nlohmann::json out = total.toJson();
    out["drives"] = drives;
    return out;
}

std::string VerifyVerdict(const nlohmann::json& verify)
{
    std::string text = verify.at("clean").get<bool>() ? "clean" : "NOT CLEAN";
    text += ": " + std::to_string(verify.at("blocks").get<std::uint64_t>()) + " blocks and " +
            std::to_string(verify.at("filemarks").get<std::uint64_t>()) + " filemarks written; lost " +
            std::to_string(verify.at("lost").get<std::uint64_t>()) + ", duplicated " +
            std::to_string(verify.at("duplicated").get<std::uint64_t>()) + ", misplaced " +
            std::to_string(verify.at("misplaced").get<std::uint64_t>()) + ", unexpected " +
            std::to_string(verify.at("unexpected").get<std::uint64_t>()) + ", lost in the drive and reported " +
            std::to_string(verify.at("reportedLoss").get<std::uint64_t>());
    // Counts a verdict of an older run may not have.
    for (const auto& [key, words] : {std::pair{"wrongLength", "of another length"}, std::pair{"misread", "misread"},
                                     std::pair{"shortWrites", "writes told done with bytes missing"}}) {
        if (verify.value(key, std::uint64_t{0}) != 0) {
            text += std::string(", ") + words + " " + std::to_string(verify.at(key).get<std::uint64_t>());
        }
    }
    return text;
}

StepResult Runner::verify(const nlohmann::json& step)
{
    StepResult result{step};
    result.data["verify"] = verifyAll();
    result.detail = VerifyVerdict(result.data["verify"]);
    // A medium that does not hold what the application was told it wrote is a failed check (and
    // fails the run), whatever the later steps do to the tape.
    if (!result.data["verify"].at("clean").get<bool>()) {
        result.status = static_cast<std::uint32_t>(STATUS_UNSUCCESSFUL);
    }
    return result;
}

}  // namespace vorkasim
