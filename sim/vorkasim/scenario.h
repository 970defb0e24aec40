// A scenario for the simulator: the machine's registry settings, the SAN (drives and
// the paths that reach them) and an ordered list of steps to run.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorkasim {

struct PathSpec {
    std::uint8_t port = 0;    // host adapter (SCSI port number)
    std::uint8_t bus = 0;     // path id
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
};

struct DriveSpec {
    std::string serial;
    std::string wwnn;         // 16 hexadecimal characters; empty: derived from the serial
    std::string vendor = "VORKA";
    std::string product = "VIRTUAL TAPE";
    std::uint32_t dpfFlags = 1;
    std::vector<PathSpec> paths;
    bool buffered = false;     // the drive has a write buffer ("buffered": true)
    // "motion": {"perCommandUs", "perObjectUs", "longEraseUs", "loadUs", "unloadUs"}: positioning,
    // loading and unloading a cartridge take this long.
    std::uint32_t perCommandUs = 0;
    std::uint32_t perObjectUs = 0;
    std::uint32_t longEraseUs = 0;
    std::uint32_t loadUs = 0;
    std::uint32_t unloadUs = 0;
    // "drain": what the write buffer does after a path's link drops: "none" (it waits for the next
    // command, drainUsPerMB < 0), "at-once", or microseconds per 10^6 bytes the drive takes to write it.
    std::int64_t drainUsPerMB = -1;
    // "mbps": the drive moves data at this many megabytes (10^6 bytes) per second; 0: no limit.
    std::uint32_t mbps = 0;
    // "blockSize": the block length the drive starts with for every initiator (0: variable).
    std::uint32_t blockSize = 0;
    // "capacity" and "earlyWarning": data bytes its cartridge holds, and how many of them lie in
    // the early-warning zone before the end; 0: the cartridge's usual size (1 GiB, 1 MiB zone).
    std::uint64_t capacity = 0;
    std::uint64_t earlyWarning = 0;
    // "reset": {"rewind", "keepBuffer", "sense"}: what a reset does to the tape and its write buffer,
    // and the unit attention it gives ("29/00", "29/01", "29/02" or "29/03").
    bool resetRewinds = true;
    bool resetKeepsBuffer = false;
    std::uint8_t resetAscq = 0x00;
    // "loginSense": what a path whose login was lost reports at its next command: "29/00" to "29/07",
    // or "none" (loginAscq < 0).
    int loginAscq = 0x07;
    // "modePages": "shared" (one set of mode parameters for the drive; a change gives every other
    // login 06/2A/01) or "perLogin" (each login has its own).
    bool modePagesShared = true;
};

// A tape library: its medium changer reached over control paths, storage slots,
// import/export elements, and drives of "drives" as its data-transfer elements.
struct LibrarySpec {
    std::string serial;
    std::string wwnn;
    std::string vendor = "VORKA";
    std::string product = "VIRTUAL LIBRARY";
    std::uint32_t slots = 8;
    std::uint32_t ieSlots = 1;
    std::vector<std::string> drives;   // serials of drives of "drives", in element order
    std::vector<std::string> volumes;  // cartridges placed in the storage slots from the first
    std::vector<PathSpec> paths;
    // "lostLogin": "release" (a lost login's reservation and lock go, and it hears 06/29/07) or "keep".
    bool lostLoginReleases = true;
    // "robot": {"moveMs", "positionMs", "inventoryMs", "busy"}: the robot takes time (a library's usual
    // times when the object leaves them out); meanwhile the library answers other commands with
    // "busy": "not-ready" (02/04/01, the default) or "busy" (BUSY status). Without "robot": at once.
    std::uint32_t moveMs = 0;
    std::uint32_t positionMs = 0;
    std::uint32_t inventoryMs = 0;
    bool busyStatus = false;
};

struct Scenario {
    // Per service name, DWORD values of its Parameters key.
    std::map<std::string, std::map<std::string, std::uint32_t>> registry;
    std::vector<DriveSpec> drives;
    std::vector<LibrarySpec> libraries;
    // "adapters": [{"port", "maxTransfer"}]: the longest transfer a host adapter takes, in bytes.
    std::map<std::uint8_t, std::uint32_t> maxTransfer;
    // Operations in order; each is a JSON object with at least "op". Kept as JSON so
    // that steps can carry whatever fields their operation needs.
    std::vector<nlohmann::json> steps;
    // "preinstalled": false boots a machine with the base drivers and the hardware but none of
    // the package's drivers, for "install" steps to install them.
    bool preinstalled = true;
};

// A mistake in the scenario itself (as opposed to a failure of the simulated machine): the
// command reports it and exits with status 2.
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Two drives, each reached over two paths through two host adapters, and a backup job on the first
// that loses its primary path half-way and is verified against the tape at the end.
Scenario DefaultScenario();

// Reads a scenario document; throws std::runtime_error naming what is wrong (a ScenarioError
// where the document is well-formed but describes an impossible SAN).
Scenario ParseScenario(const nlohmann::json& document);

// The "libraries" array of a scenario document (its drives already read).
void ParseLibraries(const nlohmann::json& libraries, Scenario* scenario);

}  // namespace vorkasim
