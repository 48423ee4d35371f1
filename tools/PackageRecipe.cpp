#include "tools/PackageRecipe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace tools {
namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool unquote(const std::string& value, std::string& out, std::string& problem) {
    out.clear();
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
        out = value;
        return true;
    }
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        char c = value[i];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= value.size()) {
            problem = "text ends in a lone backslash";
            return false;
        }
        c = value[++i];
        switch (c) {
        case 'r':
            out.push_back('\r');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '0':
            out.push_back('\0');
            break;
        case '\\':
        case '"':
            out.push_back(c);
            break;
        default:
            problem = std::string("unknown escape \\") + c;
            return false;
        }
    }
    return true;
}

class Recipe {
public:
    bool load(const std::string& path, std::string& problem) {
        std::ifstream in(path);
        if (!in) {
            problem = "cannot read recipe " + path;
            return false;
        }
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            const std::string text = trimmed(line);
            if (text.empty() || text[0] == '#')
                continue;
            const size_t equals = text.find('=');
            if (equals == std::string::npos) {
                problem = path + ":" + std::to_string(number) + ": expected key = value";
                return false;
            }
            const std::string key = trimmed(text.substr(0, equals));
            std::string value;
            if (!unquote(trimmed(text.substr(equals + 1)), value, problem)) {
                problem = path + ":" + std::to_string(number) + ": " + problem;
                return false;
            }
            if (!values_.emplace(key, value).second) {
                problem = path + ":" + std::to_string(number) + ": key " + key + " repeated";
                return false;
            }
        }
        return true;
    }

    bool text(const std::string& key, std::string& out, std::string& problem) {
        const auto found = values_.find(key);
        if (found == values_.end()) {
            problem = "recipe lacks " + key;
            return false;
        }
        used_.insert(key);
        out = found->second;
        return true;
    }

    bool number(const std::string& key, uint64_t maximum, uint64_t& out, std::string& problem) {
        std::string value;
        if (!text(key, value, problem))
            return false;
        errno = 0;
        char* end = nullptr;
        const unsigned long long parsed = std::strtoull(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || errno != 0 || parsed > maximum) {
            problem = "recipe value of " + key + " is not a number up to " +
                      std::to_string(maximum) + ": " + value;
            return false;
        }
        out = parsed;
        return true;
    }

    // Keys nobody asked for are typing errors.
    bool allUsed(std::string& problem) const {
        for (const auto& [key, value] : values_) {
            if (!used_.count(key)) {
                problem = "recipe has an unknown key " + key;
                return false;
            }
        }
        return true;
    }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> used_;
};

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

bool buildPackageFromRecipe(const std::string& path, Bytes& package, std::string& problem) {
    Recipe recipe;
    if (!recipe.load(path, problem))
        return false;

    std::string version, info, fileName, tag, firmwarePath;
    uint64_t chipset = 0, fileType = 0, word628 = 0, magic = 0, word12 = 0, kind = 0, word20 = 0,
             imageSize = 0, tailSize = 0, dataChecksum = 0, entryChecksum = 0;
    constexpr uint64_t kByte = 0xFF, kWord = 0xFFFFFFFFu;
    if (!recipe.text("tool-version", version, problem) ||
        !recipe.number("chipset", kByte, chipset, problem) || !recipe.text("info", info, problem) ||
        !recipe.number("file-type", kWord, fileType, problem) ||
        !recipe.text("file-name", fileName, problem) || !recipe.text("file-tag", tag, problem) ||
        !recipe.number("file-word628", kWord, word628, problem) ||
        !recipe.number("image-magic", kWord, magic, problem) ||
        !recipe.number("image-word12", kWord, word12, problem) ||
        !recipe.number("image-kind", kWord, kind, problem) ||
        !recipe.number("image-word20", kWord, word20, problem) ||
        !recipe.number("image-size", kWord, imageSize, problem) ||
        !recipe.number("tail-size", kWord, tailSize, problem) ||
        !recipe.text("firmware", firmwarePath, problem) ||
        !recipe.number("data-checksum", kByte, dataChecksum, problem) ||
        !recipe.number("entry-checksum", kByte, entryChecksum, problem) || !recipe.allUsed(problem))
        return false;

    unsigned major = 0, minor = 0;
    char extra = 0;
    if (std::sscanf(version.c_str(), "%u.%u%c", &major, &minor, &extra) != 2 || major > kByte ||
        minor > kByte) {
        problem = "tool-version is not M.N: " + version;
        return false;
    }
    if (fileName.find("%08X") == std::string::npos) {
        problem = "file-name lacks the %08X place of the stream CRC-32";
        return false;
    }

    const std::string contentPath = firmwarePath.size() && firmwarePath[0] == '/'
                                        ? firmwarePath
                                        : folderOf(path) + "/" + firmwarePath;
    std::ifstream contentFile(contentPath, std::ios::binary);
    if (!contentFile) {
        problem = "cannot read firmware content " + contentPath;
        return false;
    }
    std::ostringstream content;
    content << contentFile.rdbuf();

    FirmwareImageSpec imageSpec;
    imageSpec.header.magic = static_cast<uint32_t>(magic);
    imageSpec.header.word12 = static_cast<uint32_t>(word12);
    imageSpec.header.kind = static_cast<uint32_t>(kind);
    imageSpec.header.word20 = static_cast<uint32_t>(word20);
    imageSpec.content = content.str();
    imageSpec.imageSize = imageSize;
    imageSpec.tailSize = tailSize;
    imageSpec.dataChecksum = static_cast<uint8_t>(dataChecksum);
    FirmwareImage image;
    if (!buildFirmwareImage(imageSpec, image, problem))
        return false;

    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", image.streamCrc);
    fileName.replace(fileName.find("%08X"), 4, digits);

    PackageFileSpec file;
    file.fileType = static_cast<uint32_t>(fileType);
    file.name = fileName;
    file.tag = tag;
    file.word628 = static_cast<uint32_t>(word628);
    file.data = std::move(image.image);
    file.entryChecksumTarget = static_cast<uint8_t>(entryChecksum);

    PackageSpec spec;
    spec.toolMajor = static_cast<uint8_t>(major);
    spec.toolMinor = static_cast<uint8_t>(minor);
    spec.chipSetFamily = static_cast<uint8_t>(chipset);
    spec.entries.push_back(informationEntry(info));
    spec.entries.push_back(fileEntry(file));
    package = buildPackage(spec);
    return true;
}

} // namespace tools
