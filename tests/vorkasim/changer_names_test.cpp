// The names of virtual changers: a library's \\.\Changer<n> names that library and no other, while
// its paths come and go in any order and across a restart of the machine.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_scenario_file.h"

namespace {

using nlohmann::json;

// Each listing's virtual changers as (name, serial, number of active paths).
std::vector<std::tuple<std::string, std::string, int>> Changers(const json& step)
{
    std::vector<std::tuple<std::string, std::string, int>> out;
    for (const auto& changer : step.at("changers")) {
        int active = 0;
        for (const auto& path : changer.at("paths")) active += path.at("active").get<bool>();
        out.emplace_back(changer.at("name"), changer.at("serial"), active);
    }
    return out;
}

// Two libraries lose every control path; their paths return in the other order. Without recorded
// names the second library's path could have taken the first library's number, and the
// application's handle would have moved the second library's cartridges. With "PersistentNaming"
// each library keeps its recorded name, far above the path devices' numbers, through the flap and
// a restart; the handle held across the flap reaches its own library again.
TEST(ChangerNames, ALibraryKeepsItsChangerNameWhenPathsReturnInAnotherOrderAndAcrossARestart)
{
    auto [output, code] = vorkasim_test::RunWithScenario("changer-names.json", R"({
      "registry": {"vorkacbus": {"PersistentNaming": 1}},
      "drives": [{"serial": "VRKNAME0001", "paths": [{"port": 0, "target": 1}]},
                 {"serial": "VRKNAME0002", "paths": [{"port": 0, "target": 2}]}],
      "libraries": [{"serial": "VRKNAMELIBA", "slots": 2, "drives": ["VRKNAME0001"], "volumes": ["VOLA01L9"],
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]},
                    {"serial": "VRKNAMELIBB", "slots": 2, "drives": ["VRKNAME0002"], "volumes": ["VOLB01L9"],
                     "paths": [{"port": 0, "target": 8}, {"port": 1, "target": 8}]}],
      "steps": [{"op": "list"},
                {"op": "open", "device": "Changer5655361", "handle": "a"},
                {"op": "surprise-remove", "drive": "VRKNAMELIBA", "path": 0},
                {"op": "surprise-remove", "drive": "VRKNAMELIBA", "path": 1},
                {"op": "surprise-remove", "drive": "VRKNAMELIBB", "path": 0},
                {"op": "surprise-remove", "drive": "VRKNAMELIBB", "path": 1},
                {"op": "move", "handle": "a", "from": "slot:0", "to": "slot:1"},
                {"op": "add", "drive": "VRKNAMELIBB", "path": 1}, {"op": "add", "drive": "VRKNAMELIBA", "path": 1},
                {"op": "list"},
                {"op": "move", "handle": "a", "from": "slot:0", "to": "slot:1"}, {"op": "close", "handle": "a"},
                {"op": "reboot"}, {"op": "list"}, {"op": "unload"}]})", "--json", false);
    ASSERT_EQ(code, 0) << output;
    const json document = json::parse(output);
    EXPECT_TRUE(document.at("violations").empty()) << document.at("violations").dump(2);
    std::vector<const json*> lists, moves;
    for (const auto& step : document.at("steps")) {
        if (step.at("op") == "list") lists.push_back(&step);
        if (step.at("op") == "move") moves.push_back(&step);
    }
    ASSERT_EQ(lists.size(), 3u);
    using Row = std::tuple<std::string, std::string, int>;
    EXPECT_EQ(Changers(*lists[0]), (std::vector<Row>{{"Changer5655361", "VRKNAMELIBA", 2},
                                                     {"Changer5655362", "VRKNAMELIBB", 2}}));
    EXPECT_EQ(Changers(*lists[1]), (std::vector<Row>{{"Changer5655361", "VRKNAMELIBA", 1},
                                                     {"Changer5655362", "VRKNAMELIBB", 1}}))
        << "the paths came back in the other order";
    EXPECT_EQ(Changers(*lists[2]), (std::vector<Row>{{"Changer5655361", "VRKNAMELIBA", 1},
                                                     {"Changer5655362", "VRKNAMELIBB", 1}}))
        << "the same names after the restart (path 0 of each is still off the SAN)";

    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(moves[0]->at("status"), "0xc000003a") << "the library had no path";
    EXPECT_EQ(moves[1]->at("status"), "0x00000000") << "the handle reaches its library again";
    for (const auto& library : document.at("libraries")) {
        for (const auto& element : library.at("elements")) {
            const bool full = element.at("full").get<bool>();
            if (library.at("serial") == "VRKNAMELIBA") {
                EXPECT_EQ(full, element.at("element") == "slot:1") << element.dump();
            } else {
                EXPECT_EQ(full, element.at("element") == "slot:0") << "library B untouched: " << element.dump();
            }
        }
    }
    const json* unload = &document.at("steps").back();
    EXPECT_EQ(unload->at("status"), "0x00000000") << unload->dump(2);
}

}  // namespace
