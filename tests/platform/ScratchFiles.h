#pragma once
// Files for the profile-file tests: a scratch folder that goes away with the test, and a
// file's bytes.

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

struct Scratch {
    std::filesystem::path dir;
    Scratch()
    {
        std::random_device r;
        dir = std::filesystem::temp_directory_path() / ("ombrix-profile-" + std::to_string(r()));
        std::filesystem::create_directories(dir);
    }
    ~Scratch()
    {
        std::error_code ec;
        std::filesystem::permissions(dir, std::filesystem::perms::all, ec);
        std::filesystem::remove_all(dir, ec);
    }
    std::filesystem::path file(const std::string& bytes,
                               const std::string& name = "Ombrix.ini") const
    {
        const std::filesystem::path p = dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
};

inline std::string readBytes(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
