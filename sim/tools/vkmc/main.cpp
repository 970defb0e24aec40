// vkmc: compiles a Windows message compiler (.mc) file for the host build of
// a driver: the windmc-style header of symbolic names and a C++ source that
// exports the message table under a known symbol.
//
//   vkmc [-c] [-l LANGID] [-s SYMBOL] [-b TABLE.bin] -h HEADER_DIR -o SOURCE.cpp FILE.mc
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "mcfile.h"

namespace {

int Usage() {
    std::cerr << "usage: vkmc [-c] [-l LANGID] [-s SYMBOL] [-b TABLE.bin] -h HEADER_DIR -o SOURCE.cpp FILE.mc\n";
    return 2;
}

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    vkmc::Options options;
    std::string headerDir, sourceFile, binFile, input, symbol = "VorkaMessageTable";
    long language = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-c") options.customerBit = true;
        else if (a == "-h" && next(&headerDir)) {}
        else if (a == "-o" && next(&sourceFile)) {}
        else if (a == "-b" && next(&binFile)) {}
        else if (a == "-s" && next(&symbol)) {}
        else if (a == "-l" && next(&v)) language = std::strtol(v.c_str(), nullptr, 0);
        else if (!a.empty() && a[0] != '-' && input.empty()) input = a;
        else return Usage();
    }
    if (input.empty() || (headerDir.empty() && sourceFile.empty() && binFile.empty())) return Usage();

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << input << ": cannot read\n";
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    auto file = vkmc::Parse(text.str(), options, &error);
    if (!file) {
        std::cerr << input << ": " << error << "\n";
        return 1;
    }
    std::filesystem::path mcPath(input);
    std::string base = mcPath.stem().string();
    std::uint16_t lang = language >= 0 ? static_cast<std::uint16_t>(language) : vkmc::DefaultLanguage(*file);
    auto table = vkmc::BuildTable(*file, lang);

    if (!headerDir.empty() &&
        !WriteFile(std::filesystem::path(headerDir) / (base + ".h"), vkmc::BuildHeader(*file, mcPath.filename().string()))) {
        std::cerr << headerDir << ": cannot write " << base << ".h\n";
        return 1;
    }
    if (!sourceFile.empty() &&
        !WriteFile(sourceFile, vkmc::BuildSource(table, symbol, mcPath.filename().string()))) {
        std::cerr << sourceFile << ": cannot write\n";
        return 1;
    }
    if (!binFile.empty() && !WriteFile(binFile, std::string(table.begin(), table.end()))) {
        std::cerr << binFile << ": cannot write\n";
        return 1;
    }
    return 0;
}
