// kestrel-pck: builds wrapped firmware images and firmware packages, and inspects them.

#include "tools/PackageBuilder.h"
#include "tools/PackageInspector.h"
#include "tools/PackageRecipe.h"

#include <KestrelVersion.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestrel-pck build RECIPE OUTPUT\n"
    "      build the package a recipe describes\n"
    "  kestrel-pck wrap [--magic N] [--kind N] [--word12 N] [--word20 N] [--word24 N]\n"
    "                   PAYLOAD OUTPUT\n"
    "      wrap a payload file into a wrapped image (header checksum computed)\n"
    "      --magic N      the header's magic word\n"
    "      --kind N       the image kind word\n"
    "      --word12 N     the header word at byte offset 12\n"
    "      --word20 N     the header word at byte offset 20\n"
    "      --word24 N     the header word at byte offset 24\n"
    "      (N: a 32-bit number, decimal, 0x hexadecimal or 0 octal)\n"
    "  kestrel-pck pack [--tool-version M.N] [--chipset N] [--info TEXTFILE]\n"
    "                   [--file TYPE:NAME:TAG:PATH]... OUTPUT\n"
    "      put an information text and files into a package\n"
    "      --tool-version M.N  the packaging tool's version in the header (bytes)\n"
    "      --chipset N         the chip-set family byte\n"
    "      --info TEXTFILE     the package's information text\n"
    "      --file TYPE:NAME:TAG:PATH\n"
    "                          one file entry: its type number, name, tag and content\n"
    "  kestrel-pck inspect FILE\n"
    "      print every field of a package or a wrapped image; exit 1 naming the first fault\n"
    "  kestrel-pck -h | --help\n"
    "      print this help and exit\n"
    "  kestrel-pck --version\n"
    "      print the version and exit\n";

int usage() {
    std::cerr << kUsage;
    return 2;
}

bool readFile(const std::string& path, tools::Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    out.assign(text.begin(), text.end());
    return true;
}

bool writeFile(const std::string& path, const tools::Bytes& data) {
    // Written beside the target and renamed, so a build never sees half a package.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        if (!out)
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool parseNumber(const char* text, uint64_t maximum, uint64_t& out) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (!*text || *end || errno || value > maximum)
        return false;
    out = value;
    return true;
}

int fail(const std::string& message) {
    std::cerr << "kestrel-pck: " << message << "\n";
    return 1;
}

int build(int argc, char** argv) {
    if (argc != 4)
        return usage();
    tools::Bytes package;
    std::string problem;
    if (!tools::buildPackageFromRecipe(argv[2], package, problem))
        return fail(problem);
    if (!writeFile(argv[3], package))
        return fail(std::string("cannot write ") + argv[3]);
    return 0;
}

int wrap(int argc, char** argv) {
    tools::WrappedImageSpec spec;
    int i = 2;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        uint64_t value = 0;
        if (!parseNumber(argv[i + 1], 0xFFFFFFFFu, value))
            return fail(std::string("not a 32-bit number: ") + argv[i + 1]);
        const std::string option = argv[i];
        const uint32_t word = static_cast<uint32_t>(value);
        if (option == "--magic")
            spec.magic = word;
        else if (option == "--kind")
            spec.kind = word;
        else if (option == "--word12")
            spec.word12 = word;
        else if (option == "--word20")
            spec.word20 = word;
        else if (option == "--word24")
            spec.word24 = word;
        else
            return usage();
    }
    if (argc - i != 2)
        return usage();
    tools::Bytes payload;
    if (!readFile(argv[i], payload))
        return fail(std::string("cannot read ") + argv[i]);
    if (!writeFile(argv[i + 1], tools::buildWrappedImage(spec, payload)))
        return fail(std::string("cannot write ") + argv[i + 1]);
    return 0;
}

int pack(int argc, char** argv) {
    tools::PackageSpec spec;
    std::vector<tools::PackageEntry> files;
    bool haveInfo = false;
    tools::PackageEntry info;
    int i = 2;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--tool-version") {
            unsigned major = 0, minor = 0;
            char extra = 0;
            if (std::sscanf(value, "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 ||
                minor > 255)
                return fail(std::string("tool version is not M.N: ") + value);
            spec.toolMajor = static_cast<uint8_t>(major);
            spec.toolMinor = static_cast<uint8_t>(minor);
        } else if (option == "--chipset") {
            uint64_t chipset = 0;
            if (!parseNumber(value, 255, chipset))
                return fail(std::string("chip-set family is not a byte: ") + value);
            spec.chipSetFamily = static_cast<uint8_t>(chipset);
        } else if (option == "--info") {
            tools::Bytes text;
            if (!readFile(value, text))
                return fail(std::string("cannot read ") + value);
            info = tools::informationEntry(std::string(text.begin(), text.end()));
            haveInfo = true;
        } else if (option == "--file") {
            // TYPE:NAME:TAG:PATH; the path may itself hold colons.
            const std::string field = value;
            const size_t a = field.find(':');
            const size_t b = a == std::string::npos ? a : field.find(':', a + 1);
            const size_t c = b == std::string::npos ? b : field.find(':', b + 1);
            uint64_t type = 0;
            if (c == std::string::npos ||
                !parseNumber(field.substr(0, a).c_str(), 0xFFFFFFFFu, type))
                return fail("--file wants TYPE:NAME:TAG:PATH, got " + field);
            tools::PackageFileSpec file;
            file.fileType = static_cast<uint32_t>(type);
            file.name = field.substr(a + 1, b - a - 1);
            file.tag = field.substr(b + 1, c - b - 1);
            if (!readFile(field.substr(c + 1), file.data))
                return fail("cannot read " + field.substr(c + 1));
            files.push_back(tools::fileEntry(file));
        } else {
            return usage();
        }
    }
    if (argc - i != 1)
        return usage();
    if (haveInfo)
        spec.entries.push_back(std::move(info));
    for (auto& file : files)
        spec.entries.push_back(std::move(file));
    if (!writeFile(argv[i], tools::buildPackage(spec)))
        return fail(std::string("cannot write ") + argv[i]);
    return 0;
}

int inspect(int argc, char** argv) {
    if (argc != 3)
        return usage();
    tools::Bytes data;
    if (!readFile(argv[2], data))
        return fail(std::string("cannot read ") + argv[2]);
    std::string fault;
    const bool sound = tools::inspect(data.data(), data.size(), std::cout, fault);
    if (!sound) {
        std::cout << "fault: " << fault << "\n";
        return 1;
    }
    std::cout << "valid\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "--version") {
        std::cout << "kestrel-pck " << Kestrel::kVersion << "\n";
        return 0;
    }
    if (command == "build")
        return build(argc, argv);
    if (command == "wrap")
        return wrap(argc, argv);
    if (command == "pack")
        return pack(argc, argv);
    if (command == "inspect")
        return inspect(argc, argv);
    return usage();
}
