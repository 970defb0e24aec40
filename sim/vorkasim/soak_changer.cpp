// The soak's tape libraries (see soak_changer.h). A library keeping one control path that no
// fault touches must answer every changer request; one whose every control path may be hit may
// fail requests, but never lose or duplicate a cartridge, and a failed move must either not have
// happened or be found by the application's next element read.
#include "soak_changer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include <sim/hw/library.h>
#include <sim/hw/san.h>

#include "soak_draw.h"

namespace vorkasim {
namespace {

using Json = nlohmann::json;

// Operation codes the library's control paths see: MOVE MEDIUM, READ ELEMENT STATUS,
// INITIALIZE ELEMENT STATUS, MODE SENSE(6), TEST UNIT READY.
constexpr int kMoveMedium = 0xA5;
constexpr int kReadElementStatus = 0xB8;
constexpr int kInitializeElementStatus = 0x07;

constexpr std::uint32_t kStatusIoDeviceError = 0xC0000185;
constexpr std::uint32_t kStatusDeviceNotReady = 0xC00000A3;
constexpr std::uint32_t kStatusDeviceBusy = 0x80000011;
constexpr std::uint32_t kStatusSourceElementEmpty = 0xC0000283;

// A command failure as a control path reports it: a transport status, or a sense that counts as a
// path failure (aborted command, hardware errors, not ready).
// How a control path fails a command. One the library ran (`ran`) can lose its answer with the
// connection, or end in ABORTED COMMAND or a robot's HARDWARE ERROR; a library that answers NOT
// READY did not run it.
void FailureOf(std::mt19937_64& random, Json* step, bool ran = false)
{
    static constexpr std::array<std::uint32_t, 2> statuses = {0xC00000B5, 0xC000009D};
    static constexpr std::array<const char*, 5> senses = {"0B/00/00", "0B/47/00", "04/44/00", "04/15/01",
                                                          "02/04/00"};
    if (random() % 2 == 0) {
        (*step)["status"] = statuses[random() % statuses.size()];
    } else {
        (*step)["sense"] = senses[random() % (ran ? senses.size() - 1 : senses.size())];
    }
}

Json Request(const char* op)
{
    return {{"op", op}, {"handle", "c"}};
}

}  // namespace

Json DrawLibrary(std::mt19937_64& random, const Json& drives)
{
    Json library;
    library["serial"] = "VRKSOAKLIB1";
    library["wwnn"] = "5abcdef000000100";
    const unsigned slots = 4 + static_cast<unsigned>(random() % 4);
    library["slots"] = slots;
    library["ieSlots"] = 1 + static_cast<unsigned>(random() % 2);
    Json members = Json::array();
    if (drives.size() == 1 || random() % 2 == 0) {
        members.push_back(drives[random() % drives.size()].at("serial"));
    } else {
        for (const auto& drive : drives) {
            members.push_back(drive.at("serial"));
        }
    }
    library["drives"] = members;
    // A cartridge for every drive and one more at least, and one slot empty at least.
    const unsigned least = static_cast<unsigned>(members.size()) + 1;
    const unsigned count = least + static_cast<unsigned>(random() % (slots - least));
    Json volumes = Json::array();
    for (unsigned v = 0; v < count; ++v) {
        char label[16];
        std::snprintf(label, sizeof label, "VOL%03uL9", v + 1);
        volumes.push_back(label);
    }
    library["volumes"] = volumes;
    Json paths = Json::array();
    const unsigned pathCount = 1 + static_cast<unsigned>(random() % 3);
    for (unsigned p = 0; p < pathCount; ++p) {
        paths.push_back({{"port", p}, {"target", 7u}});
    }
    library["paths"] = paths;
    // Half the libraries have a robot that takes its time (short here, to keep the soak quick).
    if (random() % 2 == 0) {
        library["robot"] = {{"moveMs", 1 + random() % 15},
                            {"positionMs", 1 + random() % 5},
                            {"inventoryMs", 2 + random() % 30},
                            {"busy", random() % 3 == 0 ? "busy" : "not-ready"}};
    }
    return library;
}

ChangerLane::ChangerLane(std::mt19937_64& random, const Json& library, std::string changer,
                         const std::map<std::string, std::string>& tapeDevices)
    : random_(random), library_(library), changer_(std::move(changer)), tapeDevices_(tapeDevices)
{
    serial_ = library.at("serial").get<std::string>();
    paths_ = static_cast<unsigned>(library.at("paths").size());
    for (unsigned i = 0; i < library.at("ieSlots").get<unsigned>(); ++i) {
        elements_.push_back({"ie:" + std::to_string(i), ""});
    }
    for (std::size_t i = 0; i < library.at("drives").size(); ++i) {
        driveSerials_.push_back(library.at("drives")[i].get<std::string>());
        elements_.push_back({"drive:" + std::to_string(i), ""});
    }
    const auto& volumes = library.at("volumes");
    for (unsigned i = 0; i < library.at("slots").get<unsigned>(); ++i) {
        elements_.push_back({"slot:" + std::to_string(i), i < volumes.size() ? volumes[i].get<std::string>() : ""});
    }
    // As for drives: most libraries of several control paths keep one that no fault touches.
    const bool held = paths_ > 1 ? !chance(1, 4) : chance(1, 2);
    healthy_ = held ? static_cast<int>(below(paths_)) : -1;
    draw();
}

ChangerLane::LaneGroup ChangerLane::Single(Json step)
{
    LaneGroup group;
    group.steps.push_back(std::move(step));
    return group;
}

Json ChangerLane::libraryStep(const std::string& op) const
{
    return {{"op", op}, {"drive", serial_}};
}

Json ChangerLane::move(const std::string& from, const std::string& to) const
{
    return {{"op", "move"}, {"handle", "c"}, {"from", from}, {"to", to}};
}

ChangerLane::Element* ChangerLane::element(const std::string& name)
{
    for (auto& each : elements_) {
        if (each.name == name) {
            return &each;
        }
    }
    return nullptr;
}

std::vector<ChangerLane::Element*> ChangerLane::pick(bool full, bool driveElements)
{
    std::vector<Element*> out;
    for (auto& each : elements_) {
        if (each.volume.empty() != full && (each.name.rfind("drive:", 0) == 0) == driveElements) {
            out.push_back(&each);
        }
    }
    return out;
}

// The application polls a drive that is loading a cartridge until it is ready; the first answer
// after the load may be the notice of the new medium.
namespace {
Json WaitUntilReady(const std::string& handle) { return {{"op", "getstatus"}, {"handle", handle}, {"untilReady", 5000}}; }
}  // namespace

void ChangerLane::drawSession(std::size_t driveIndex)
{
    const std::string drive = "drive:" + std::to_string(driveIndex);
    const std::string serial = driveSerials_[driveIndex];
    auto loadFrom = [&]() {
        auto sources = pick(true, false);
        Element* source = sources[below(sources.size())];
        element(drive)->volume = source->volume;
        source->volume.clear();
        return source->name;
    };
    if (chance(1, 2)) {
        // Another cartridge first: loaded, looked at, ejected and put away again.
        // The application holds the drive open while the library loads it; its first request
        // after the load hears of the new medium.
        LaneGroup look;
        const std::string handle = "p" + std::to_string(driveIndex);
        const auto device = tapeDevices_.find(serial);
        if (device == tapeDevices_.end()) {
            // The machine booted to learn the devices' names gave this drive none.
            throw std::runtime_error("the library's drive " + serial +
                                     " had no virtual tape device when the scenario was drawn");
        }
        look.steps.push_back({{"op", "open"}, {"device", device->second}, {"handle", handle}});
        look.steps.push_back(move(loadFrom(), drive));
        // A drive may take a while to load it: the application waits until it is ready.
        look.notices.insert(look.steps.size());
        look.steps.push_back(WaitUntilReady(handle));
        look.notices.insert(look.steps.size());
        look.steps.push_back({{"op", "rewind"}, {"handle", handle}});
        if (chance(1, 2)) {
            look.steps.push_back({{"op", "getpos"}, {"handle", handle}});
        }
        look.steps.push_back({{"op", "eject"}, {"handle", handle}});
        look.steps.push_back({{"op", "close"}, {"handle", handle}});
        auto places = pick(false, false);
        Element* place = places[below(places.size())];
        place->volume = element(drive)->volume;
        element(drive)->volume.clear();
        look.steps.push_back(move(drive, place->name));
        groups_.push_back(look);
    }
    LaneGroup load;
    load.steps.push_back(move(loadFrom(), drive));
    load.loads = serial;
    groups_.push_back(load);
}

// The library's own conditions, drawn on a library whose faults are all cleared first so that the
// request meets them alone: a move the robot drops in its picker (then put away from the picker), a
// move while another host holds the robot, and one while the main door is open (then closed, and
// the new inventory waited for).
bool ChangerLane::drawRobotRow()
{
    auto sources = pick(true, false);
    auto places = pick(false, false);
    if (sources.empty() || places.empty()) {
        return false;
    }
    sendDueRestores(true);
    Element* from = sources[below(sources.size())];
    Element* to = places[below(places.size())];
    LaneGroup group;
    group.steps.push_back(libraryStep("clear-faults"));
    std::string kind;
    switch (below(3)) {
        case 0: {
            kind = "picker";
            Json fault = libraryStep("fault");
            fault["kind"] = "picker";
            if (chance(1, 2)) {
                fault["sense"] = chance(1, 2) ? "04/40/01" : "04/15/00";
            }
            group.steps.push_back(fault);
            group.expected[group.steps.size()] = kStatusIoDeviceError;
            group.steps.push_back(move(from->name, to->name));
            group.steps.push_back(move("transport:0", from->name));
            break;
        }
        case 1: {
            kind = "robot-busy";
            const bool busyStatus = library_.contains("robot") && library_.at("robot").value("busy", "") == "busy";
            group.steps.push_back(libraryStep("robot-hold"));
            group.expected[group.steps.size()] = busyStatus ? kStatusDeviceBusy : kStatusDeviceNotReady;
            group.steps.push_back(move(from->name, to->name));
            group.steps.push_back(libraryStep("robot-release"));
            break;
        }
        default: {
            kind = "door";
            group.steps.push_back(libraryStep("door-open"));
            group.expected[group.steps.size()] = kStatusDeviceNotReady;
            group.steps.push_back(move(from->name, to->name));
            group.steps.push_back(libraryStep("door-close"));
            group.steps.push_back({{"op", "wait"}, {"library", serial_}, {"ms", 30000}});
            break;
        }
    }
    groups_.push_back(group);
    ++faults_["changer " + kind];
    return true;
}

void ChangerLane::drawRequest()
{
    if (chance(1, 8) && drawRobotRow()) {
        return;
    }
    LaneGroup group;
    const auto roll = below(12);
    if (roll < 6) {
        auto sources = pick(true, false);
        auto places = pick(false, false);
        if (chance(1, 10) || sources.empty() || places.empty()) {
            // From an empty element: the library refuses, and nothing moves.
            std::vector<Element*> others;
            Element* from = places.empty() ? nullptr : places[below(places.size())];
            for (auto& each : elements_) {
                if (&each != from && each.name.rfind("drive:", 0) != 0) {
                    others.push_back(&each);
                }
            }
            if (from == nullptr || others.empty()) {
                group.steps.push_back(Request("inventory"));
            } else {
                group.steps.push_back(move(from->name, others[below(others.size())]->name));
                group.refused.insert(0);
            }
        } else {
            Element* from = sources[below(sources.size())];
            Element* to = places[below(places.size())];
            group.steps.push_back(move(from->name, to->name));
            to->volume = from->volume;
            from->volume.clear();
        }
    } else if (roll < 8) {
        group.steps.push_back(Request("elements"));
    } else if (roll < 10) {
        group.steps.push_back(Request("inventory"));
    } else {
        // One picker: the library refuses an exchange, and nothing moves.
        auto fulls = pick(true, false);
        auto empties = pick(false, false);
        if (fulls.empty() || empties.empty()) {
            group.steps.push_back(Request("elements"));
        } else {
            group.steps.push_back({{"op", "exchange"},
                                   {"handle", "c"},
                                   {"source", fulls[below(fulls.size())]->name},
                                   {"first", empties[below(empties.size())]->name},
                                   {"second", fulls[below(fulls.size())]->name}});
            group.refused.insert(0);
        }
    }
    groups_.push_back(group);
}

std::optional<unsigned> ChangerLane::pickPath(bool undisturbed)
{
    std::vector<unsigned> candidates;
    for (unsigned p = 0; p < paths_; ++p) {
        if (static_cast<int>(p) != healthy_ && (!undisturbed || disturbed_.count(p) == 0)) {
            candidates.push_back(p);
        }
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    return candidates[below(candidates.size())];
}

bool ChangerLane::disturb(const std::string& op, const std::string& undo, Json extra)
{
    const auto path = pickPath(true);
    if (!path) {
        return false;
    }
    Json step = libraryStep(op);
    step["path"] = *path;
    step.update(extra);
    Json back = libraryStep(undo);
    back["path"] = *path;
    groups_.push_back(Single(step));
    disturbed_.insert(*path);
    restores_.push_back({back, 1 + static_cast<int>(below(5))});
    return true;
}

bool ChangerLane::arm(Json fault)
{
    // Where a control path must stay, one armed fault per path at a time, cleared after the next
    // request: the bus retries a path that still answers before it gives a request up.
    const bool held = healthy_ >= 0;
    const auto path = pickPath(held);
    if (!path) {
        return false;
    }
    Json step = libraryStep("fault");
    step["path"] = *path;
    step.update(fault);
    groups_.push_back(Single(step));
    if (held) {
        Json clear = libraryStep("clear-faults");
        clear["path"] = *path;
        disturbed_.insert(*path);
        restores_.push_back({clear, 1});
    }
    return true;
}

void ChangerLane::drawFault()
{
    const bool held = healthy_ >= 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool drawn = false;
        std::string kind;
        switch (below(10)) {
            case 0:
            case 1:
                kind = "down";
                drawn = disturb("fault", "clear-faults", {{"kind", "down"}});
                break;
            case 2:
                kind = "surprise-remove";
                drawn = disturb("surprise-remove", "add", Json::object());
                break;
            case 3:
                kind = "stop";
                drawn = disturb("stop", "start", Json::object());
                break;
            case 4:
                kind = "remove";
                drawn = disturb("remove", "add", Json::object());
                break;
            case 5:
            case 6: {
                kind = "fail";
                static constexpr std::array<int, 5> opcodes = {-1, -1, kMoveMedium, kReadElementStatus,
                                                               kInitializeElementStatus};
                Json fault = {{"kind", "fail"}, {"count", 1 + below(2)}};
                if (const int opcode = opcodes[below(opcodes.size())]; opcode >= 0) {
                    fault["opcode"] = opcode;
                }
                FailureOf(random_, &fault);
                drawn = arm(fault);
                break;
            }
            case 7:
            case 8: {
                // A lost completion: the library ran the command and its answer went. A MOVE MEDIUM
                // is not sent again unless the library shows it did not run, so also a library that
                // keeps a path sees every move reported as it happened.
                kind = "lost-completion";
                Json fault = {{"kind", "fail"}, {"executed", true}};
                static constexpr std::array<int, 5> any = {-1, kMoveMedium, kMoveMedium, kReadElementStatus,
                                                           kInitializeElementStatus};
                if (const int opcode = any[below(any.size())]; opcode >= 0) {
                    fault["opcode"] = opcode;
                }
                FailureOf(random_, &fault, true);
                drawn = arm(fault);
                break;
            }
            default:
                // The library itself: a reset, or every control path losing its connection for a
                // command or two.
                if (held) {
                    break;
                }
                if (chance(1, 2)) {
                    kind = "reset";
                    groups_.push_back(Single(libraryStep("reset")));
                } else {
                    kind = "nexus-loss";
                    Json fault = libraryStep("fault");
                    fault.update({{"kind", "fail"}, {"count", 1 + below(2)}, {"status", 0xC000009D}});
                    groups_.push_back(Single(fault));
                }
                drawn = true;
                break;
        }
        if (drawn) {
            ++faults_["changer " + kind];
            return;
        }
    }
}

void ChangerLane::sendDueRestores(bool all)
{
    std::vector<Restore> keep;
    for (auto& restore : restores_) {
        if (all || --restore.after <= 0) {
            groups_.push_back(Single(restore.step));
            disturbed_.erase(restore.step.at("path").get<unsigned>());
        } else {
            keep.push_back(restore);
        }
    }
    restores_ = keep;
}

void ChangerLane::draw()
{
    LaneGroup open;
    open.steps.push_back({{"op", "open"}, {"device", changer_}, {"handle", "c"}});
    groups_.push_back(open);
    if (chance(1, 2)) {
        groups_.push_back(Single(Request("elements")));
    }
    for (std::size_t i = 0; i < driveSerials_.size(); ++i) {
        drawSession(i);
    }
    const bool faulty = paths_ > 1 || healthy_ < 0;
    const unsigned requests = 4 + static_cast<unsigned>(below(10));
    for (unsigned r = 0; r < requests; ++r) {
        if (faulty && chance(1, 2)) {
            drawFault();
        }
        drawRequest();
        sendDueRestores(false);
    }
    sendDueRestores(true);
    groups_.push_back(Single(libraryStep("clear-faults")));
    // The last look on a new handle, once the changer has a control path that serves it again: a
    // path that came back while the library did not answer is identified on the filter's timer,
    // and an application that finds its library's path just returned tries again a little later.
    LaneGroup last = Single(Request("close"));
    last.steps.push_back({{"op", "wait"}, {"changer", changer_}, {"ms", 30000}});
    last.steps.push_back({{"op", "open"}, {"device", changer_}, {"handle", "c"}});
    last.steps.push_back(Request("elements"));
    last.steps.push_back(Request("close"));
    groups_.push_back(last);
}

void ChangerLane::emit(Json& steps)
{
    const LaneGroup& group = groups_[next_++];
    for (std::size_t i = 0; i < group.steps.size(); ++i) {
        if (group.notices.count(i) != 0) {
            notices_.insert(steps.size());
        }
        if (group.refused.count(i) != 0) {
            refused_.insert(steps.size());
        }
        if (const auto expected = group.expected.find(i); expected != group.expected.end()) {
            expected_[steps.size()] = expected->second;
        }
        steps.push_back(group.steps[i]);
    }
    if (!group.loads.empty()) {
        loaded_.insert(group.loads);
    }
}

void ChangerLane::beforeOpen(const std::string& serial, Json& steps)
{
    // Everything of the lane before this drive's load.
    while (next_ < groups_.size() && loaded_.count(serial) == 0 &&
           std::find(driveSerials_.begin(), driveSerials_.end(), serial) != driveSerials_.end() &&
           groups_[next_].loads != serial) {
        emit(steps);
    }
}

void ChangerLane::afterOpen(const std::string& serial, const std::string& handle, Json& steps)
{
    if (std::find(driveSerials_.begin(), driveSerials_.end(), serial) == driveSerials_.end()) {
        return;
    }
    // The job's handle is open: its cartridge is loaded, and the job starts at the beginning of
    // it with a request that hears of the new medium.
    if (next_ < groups_.size() && groups_[next_].loads == serial) {
        emit(steps);
    }
    notices_.insert(steps.size());
    steps.push_back(WaitUntilReady(handle));
    notices_.insert(steps.size());
    steps.push_back({{"op", "rewind"}, {"handle", handle}});
}

void ChangerLane::between(Json& steps)
{
    if (next_ < groups_.size() && chance(1, 2)) {
        emit(steps);
    }
}

void ChangerLane::finish(Json& steps)
{
    while (next_ < groups_.size()) {
        emit(steps);
    }
}

void ChangerLane::complete(DrawnScenario& drawn) const
{
    drawn.document["libraries"] = Json::array({library_});
    drawn.library = serial_;
    drawn.changerMayFail = healthy_ < 0;
    drawn.mediumNotices.insert(notices_.begin(), notices_.end());
    drawn.changerRefusals.insert(refused_.begin(), refused_.end());
    drawn.changerExpected.insert(expected_.begin(), expected_.end());
    // The base changer driver asks a busy library again after a short pause here: a robot held by
    // another host or a door left open is met by libraries with and without robot times.
    drawn.document["registry"]["vorkachgr"]["NotReadyRetryMs"] = std::uint32_t{20};
    for (const auto& [kind, count] : faults_) {
        drawn.faults[kind] += count;
    }
}

// --- The check ----------------------------------------------------------------------------------

std::string ElementNameOfAddress(std::uint16_t address)
{
    if (address >= 4096) {
        return "slot:" + std::to_string(address - 4096);
    }
    if (address >= 256) {
        return "drive:" + std::to_string(address - 256);
    }
    if (address >= 16) {
        return "ie:" + std::to_string(address - 16);
    }
    return "transport:" + std::to_string(address);
}

namespace {

std::string Describe(const ChangerMove& move)
{
    return move.volume + " " + move.from + " -> " + move.to;
}

std::string Describe(const ChangerRequest& request, std::size_t index)
{
    std::string text = "changer request " + std::to_string(index + 1) + " (" + request.op;
    if (request.op == "move") {
        text += " " + request.from + " -> " + request.to;
    }
    return text + (request.succeeded ? ", told succeeded)" : ", told failed)");
}

std::string Placement(const std::vector<ElementView>& elements)
{
    std::string text;
    for (const auto& each : elements) {
        if (each.full) {
            text += (text.empty() ? "" : " ") + each.element + "=" + (each.volume.empty() ? "?" : each.volume);
        }
    }
    return text.empty() ? "(empty)" : text;
}

bool SameElements(const std::vector<ElementView>& a, const std::vector<ElementView>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].element != b[i].element || a[i].full != b[i].full || a[i].volume != b[i].volume) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> CheckChangerRun(const ChangerRun& run)
{
    std::vector<std::string> problems;
    // Every cartridge exactly once, and no other.
    std::map<std::string, int> seen;
    for (const auto& each : run.finalTruth) {
        if (each.full) {
            ++seen[each.volume];
        }
    }
    for (const auto& volume : run.volumes) {
        const int count = seen.count(volume) != 0 ? seen.at(volume) : 0;
        if (count != 1) {
            problems.push_back("cartridge " + volume + (count == 0 ? " is lost" : " is in the library " +
                                                                                       std::to_string(count) + " times"));
        }
        seen.erase(volume);
    }
    for (const auto& [volume, count] : seen) {
        problems.push_back("cartridge " + (volume.empty() ? std::string("without a label") : volume) +
                           " appeared from nowhere");
    }

    for (std::size_t i = 0; i < run.requests.size(); ++i) {
        const ChangerRequest& request = run.requests[i];
        const std::string what = Describe(request, i);
        if (request.op != "move") {
            for (const auto& move : request.happened) {
                problems.push_back(what + " moved " + Describe(move));
            }
        } else {
            std::size_t matching = 0;
            for (const auto& move : request.happened) {
                if (move.from == request.from && move.to == request.to) {
                    ++matching;
                } else {
                    problems.push_back(what + " moved something else: " + Describe(move));
                }
            }
            if (request.succeeded && matching == 0) {
                problems.push_back(what + ": the cartridge did not move");
            }
            if (matching > 1) {
                problems.push_back(what + ": the cartridge moved " + std::to_string(matching) + " times");
            }
            if (!request.succeeded && matching != 0) {
                // The application was told the move failed, yet it happened: its next element read
                // must have succeeded (and, as every read, shown the ground truth).
                bool learned = false;
                for (std::size_t j = i + 1; j < run.requests.size() && !learned; ++j) {
                    learned = run.requests[j].op == "elements" && run.requests[j].succeeded;
                }
                if (!learned) {
                    problems.push_back(what + ": it happened and no later element read told the application");
                }
            }
        }
        if (request.op == "elements" && request.succeeded && !SameElements(request.reported, request.truth)) {
            problems.push_back(what + " reported " + Placement(request.reported) + " where the library holds " +
                               Placement(request.truth));
        }
    }
    for (const auto& move : run.unasked) {
        problems.push_back("the library moved " + Describe(move) + " while no changer request ran");
    }
    // The application's last word on the library is the ground truth at the end.
    const ChangerRequest* last = nullptr;
    for (const auto& request : run.requests) {
        last = request.op == "elements" ? &request : last;
    }
    if (last == nullptr || !last->succeeded) {
        problems.push_back("the final element read failed");
    } else if (!SameElements(last->reported, run.finalTruth)) {
        problems.push_back("the final element read " + Placement(last->reported) + " differs from the library's " +
                           Placement(run.finalTruth));
    }
    return problems;
}

ChangerWatch::ChangerWatch(World& world, const DrawnScenario& drawn) : world_(world), drawn_(drawn)
{
    if (drawn.library.empty()) {
        return;
    }
    library_ = world.san().findLibrary(drawn.library);
    if (library_ == nullptr) {
        return;
    }
    for (const auto& element : library_->elements()) {
        if (element.full) {
            run_.volumes.push_back(element.volume);
        }
    }
}

std::vector<ChangerMove> ChangerWatch::movesSince(std::size_t first) const
{
    std::vector<ChangerMove> out;
    const auto all = library_->moves();
    for (std::size_t i = first; i < all.size(); ++i) {
        out.push_back({ElementNameOfAddress(all[i].source), ElementNameOfAddress(all[i].destination), all[i].volume});
    }
    return out;
}

std::vector<ElementView> ChangerWatch::truth() const
{
    for (const auto& library : world_.libraries()) {
        if (library.serial == drawn_.library) {
            return library.elements;
        }
    }
    return {};
}

void ChangerWatch::before()
{
    if (library_ != nullptr) {
        movesBefore_ = library_->moves().size();
        truthBefore_ = truth();
    }
}

std::string ChangerWatch::after(std::size_t index, const Json& step, std::uint32_t status,
                                const std::vector<ElementView>& elements)
{
    if (library_ == nullptr) {
        return {};
    }
    const std::string op = step.at("op").get<std::string>();
    const bool changerOp = op == "move" || op == "exchange" || op == "inventory" || op == "elements";
    std::vector<ChangerMove> happened = movesSince(movesBefore_);
    if (!changerOp) {
        run_.unasked.insert(run_.unasked.end(), happened.begin(), happened.end());
        return {};
    }
    ChangerRequest request;
    request.op = op;
    request.succeeded = status == 0;
    if (op == "move") {
        request.from = step.at("from").get<std::string>();
        request.to = step.at("to").get<std::string>();
        ++moves;
        movesDone += request.succeeded ? 1 : 0;
    }
    request.happened = std::move(happened);
    request.reported = elements;
    request.truth = truth();
    run_.requests.push_back(std::move(request));
    ++requests;
    if (const auto expected = drawn_.changerExpected.find(index); expected != drawn_.changerExpected.end()) {
        char text[64];
        std::snprintf(text, sizeof text, "0x%08x where 0x%08x was due", status, expected->second);
        // An empty source is the true answer only where an earlier failed move left it empty.
        bool sourceFull = false;
        for (const auto& each : truthBefore_) {
            sourceFull = sourceFull || (each.element == step.value("from", std::string()) && each.full);
        }
        if (status == 0 || (status == kStatusSourceElementEmpty && sourceFull) ||
            (!drawn_.changerMayFail && status != expected->second)) {
            return "changer step " + step.dump() + " ended with " + text;
        }
        ++failedAllowed;
        return {};
    }
    if (status == 0 || drawn_.changerRefusals.count(index) != 0) {
        return {};
    }
    if (drawn_.changerMayFail) {
        ++failedAllowed;
        return {};
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", status);
    return "changer step " + step.dump() + " failed with " + text;
}

std::vector<std::string> ChangerWatch::check()
{
    if (library_ == nullptr) {
        return {};
    }
    run_.finalTruth = truth();
    return CheckChangerRun(run_);
}

}  // namespace vorkasim
