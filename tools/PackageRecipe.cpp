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

// The values a recipe holds, read and range-checked.
struct RecipeValues {
    std::string version, info, fileName, tag, firmwarePath;
    uint64_t chipset = 0, fileType = 0, word628 = 0, magic = 0, word12 = 0, kind = 0, word20 = 0,
             imageSize = 0, tailSize = 0, dataChecksum = 0, entryChecksum = 0;
    unsigned major = 0, minor = 0;
};

constexpr uint64_t kByte = 0xFF, kWord = 0xFFFFFFFFu;

bool readValues(Recipe& recipe, RecipeValues& v, std::string& problem) {
    return recipe.text("tool-version", v.version, problem) &&
           recipe.number("chipset", kByte, v.chipset, problem) &&
           recipe.text("info", v.info, problem) &&
           recipe.number("file-type", kWord, v.fileType, problem) &&
           recipe.text("file-name", v.fileName, problem) &&
           recipe.text("file-tag", v.tag, problem) &&
           recipe.number("file-word628", kWord, v.word628, problem) &&
           recipe.number("image-magic", kWord, v.magic, problem) &&
           recipe.number("image-word12", kWord, v.word12, problem) &&
           recipe.number("image-kind", kWord, v.kind, problem) &&
           recipe.number("image-word20", kWord, v.word20, problem) &&
           recipe.number("image-size", kWord, v.imageSize, problem) &&
           recipe.number("tail-size", kWord, v.tailSize, problem) &&
           recipe.text("firmware", v.firmwarePath, problem) &&
           recipe.number("data-checksum", kByte, v.dataChecksum, problem) &&
           recipe.number("entry-checksum", kByte, v.entryChecksum, problem) &&
           recipe.allUsed(problem);
}

// The tool version as M.N and the file name's place for the stream CRC-32.
bool checkValues(RecipeValues& v, std::string& problem) {
    char extra = 0;
    if (std::sscanf(v.version.c_str(), "%u.%u%c", &v.major, &v.minor, &extra) != 2 ||
        v.major > kByte || v.minor > kByte) {
        problem = "tool-version is not M.N: " + v.version;
        return false;
    }
    if (v.fileName.find("%08X") == std::string::npos) {
        problem = "file-name lacks the %08X place of the stream CRC-32";
        return false;
    }
    return true;
}

// The firmware content file, named relative to the recipe unless its path is absolute.
bool readContent(const std::string& recipePath, const std::string& firmwarePath, std::string& out,
                 std::string& problem) {
    const std::string contentPath = firmwarePath.size() && firmwarePath[0] == '/'
                                        ? firmwarePath
                                        : folderOf(recipePath) + "/" + firmwarePath;
    std::ifstream contentFile(contentPath, std::ios::binary);
    if (!contentFile) {
        problem = "cannot read firmware content " + contentPath;
        return false;
    }
    std::ostringstream content;
    content << contentFile.rdbuf();
    out = content.str();
    return true;
}

bool buildImage(const RecipeValues& v, std::string content, FirmwareImage& image,
                std::string& problem) {
    FirmwareImageSpec imageSpec;
    imageSpec.header.magic = static_cast<uint32_t>(v.magic);
    imageSpec.header.word12 = static_cast<uint32_t>(v.word12);
    imageSpec.header.kind = static_cast<uint32_t>(v.kind);
    imageSpec.header.word20 = static_cast<uint32_t>(v.word20);
    imageSpec.content = std::move(content);
    imageSpec.imageSize = v.imageSize;
    imageSpec.tailSize = v.tailSize;
    imageSpec.dataChecksum = static_cast<uint8_t>(v.dataChecksum);
    return buildFirmwareImage(imageSpec, image, problem);
}

// The information entry and the image's file entry, its name carrying the stream CRC-32.
Bytes assemblePackage(const RecipeValues& v, FirmwareImage& image) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", image.streamCrc);
    std::string fileName = v.fileName;
    fileName.replace(fileName.find("%08X"), 4, digits);

    PackageFileSpec file;
    file.fileType = static_cast<uint32_t>(v.fileType);
    file.name = fileName;
    file.tag = v.tag;
    file.word628 = static_cast<uint32_t>(v.word628);
    file.data = std::move(image.image);
    file.entryChecksumTarget = static_cast<uint8_t>(v.entryChecksum);

    PackageSpec spec;
    spec.toolMajor = static_cast<uint8_t>(v.major);
    spec.toolMinor = static_cast<uint8_t>(v.minor);
    spec.chipSetFamily = static_cast<uint8_t>(v.chipset);
    spec.entries.push_back(informationEntry(v.info));
    spec.entries.push_back(fileEntry(file));
    return buildPackage(spec);
}

} // namespace

bool buildPackageFromRecipe(const std::string& path, Bytes& package, std::string& problem) {
    Recipe recipe;
    RecipeValues values;
    if (!recipe.load(path, problem) || !readValues(recipe, values, problem) ||
        !checkValues(values, problem))
        return false;
    std::string content;
    FirmwareImage image;
    if (!readContent(path, values.firmwarePath, content, problem) ||
        !buildImage(values, std::move(content), image, problem))
        return false;
    package = assemblePackage(values, image);
    return true;
}

} // namespace tools
