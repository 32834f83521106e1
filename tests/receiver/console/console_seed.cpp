// Writes the console's seed reports as sealed texts, one file each (NN-name.hex), into the
// directory given: what `gravelin-receiver import` takes. The browser stage uses them, with
// the reports its survey page is seen with.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "ConsoleTesting.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: console_seed DIRECTORY\n";
        return 2;
    }
    try {
        const std::filesystem::path directory = argv[1];
        std::filesystem::create_directories(directory);
        auto seeds = gravelin::testing::seedScans();
        for (auto& seed : gravelin::testing::surveySeeds()) seeds.push_back(std::move(seed));
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            std::string name;
            for (const char c : seeds[i].name) {
                name += (std::isalnum(static_cast<unsigned char>(c)) != 0) ? c : '-';
            }
            const std::string prefix = (i < 10 ? "0" : "") + std::to_string(i) + "-";
            std::ofstream out(directory / (prefix + name + ".hex"), std::ios::binary);
            out << seeds[i].sealed;
            if (!out) throw std::runtime_error("cannot write into " + directory.string());
        }
        std::cout << seeds.size() << " reports in " << directory.string() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "console_seed: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
